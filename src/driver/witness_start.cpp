// SPDX-License-Identifier: MIT
#include "driver/witness_start.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/witness.h"

namespace {

// A fresh list from the state's k_first to the end of its segments, with
// S_p from the whole run's range: from the first k of d_low (as the plan
// counts it) to that end.
WitnessRecord fresh(const RunState& state, std::int32_t segment_length) {
  WitnessRecord r;
  mpz_set(r.p, state.exponent);
  mpz_set(r.k_first, state.k_first);
  mpz_mul_ui(r.k_end, state.full_segments, static_cast<unsigned long>(segment_length));
  mpz_add_ui(r.k_end, r.k_end, static_cast<unsigned long>(state.last_segment_size));
  if (mpz_sgn(r.k_end) < 0) mpz_set_ui(r.k_end, 0);  // no segment at all
  mpz_add(r.k_end, r.k_end, state.k_first);
  BigInt k_low;
  mpz_sub_ui(k_low, state.d_low, 1);
  mpz_tdiv_q_ui(k_low, k_low, 2);
  mpz_tdiv_q(k_low, k_low, state.exponent);
  if (mpz_sgn(k_low) <= 0) mpz_set_ui(k_low, 1);
  r.bits = witness_bits(state.exponent, k_low, r.k_end);
  mpz_sub_ui(r.through, r.k_first, 1);
  return r;
}

// Why the list read cannot go on into this run from the checkpoint's k,
// or "" when it can.
std::string unfit(const WitnessRecord& list, const WitnessRecord& run) {
  if (mpz_cmp(list.p, run.p) != 0) return "it belongs to another exponent";
  // (The list's k_end stays: a run from a k_first of 0 covers one k more
  // than the same range resumed, as the plan counts it.)
  if (list.bits != run.bits) return "it belongs to another range";
  BigInt last_searched;
  mpz_sub_ui(last_searched, run.k_first, 1);  // the checkpoint's k, less one
  if (mpz_cmp(list.k_first, run.k_first) > 0 || mpz_cmp(list.through, last_searched) < 0) {
    return "it ends at k = " + to_decimal(list.through) +
           ", before the checkpoint's k = " + to_decimal(run.k_first);
  }
  for (std::size_t i = 0; i < list.ks.size(); ++i) {
    if (mpz_cmp(list.ks[i], list.k_first) < 0 || mpz_cmp(list.ks[i], list.through) > 0 ||
        (i > 0 && mpz_cmp(list.ks[i], list.ks[i - 1]) <= 0)) {
      return "its line " + std::to_string(i + 2) + " is out of order or out of its range";
    }
  }
  return "";
}

}  // namespace

WitnessRecord new_run_witnesses(const RunState& state, std::int32_t segment_length) {
  return fresh(state, segment_length);
}

WitnessRecord resumed_run_witnesses(const RunState& state, std::int32_t segment_length) {
  WitnessRecord run = fresh(state, segment_length);
  struct stat info;
  if (::stat(kWitnessFile, &info) != 0 && errno == ENOENT) return run;  // none kept
  WitnessRecord list;
  std::string why;
  if (read_witnesses(kWitnessFile, list, &why)) why = unfit(list, run);
  if (!why.empty()) {
    std::fprintf(stderr, "tamrisk: %s: %s; a new list is kept from k = %s\n", kWitnessFile,
                 why.c_str(), to_decimal(run.k_first).c_str());
    return run;
  }
  // The lines the checkpoint does not cover yet go: those segments are
  // searched again.
  while (!list.ks.empty() && mpz_cmp(list.ks.back(), run.k_first) >= 0) list.ks.pop_back();
  mpz_set(list.through, run.through);
  return list;
}
