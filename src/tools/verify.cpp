// SPDX-License-Identifier: MIT
#include "tools/verify.h"

#include <gmp.h>

#include <cmath>
#include <string_view>
#include <vector>

#include "core/big_int.h"
#include "core/candidate.h"
#include "core/witness.h"
#include "records/witnesses.h"

namespace {

constexpr int kPrimeRounds = 25;

void usage(std::FILE* to) {
  std::fputs("usage: tamrisk-verify [FILE]   (default: witnesses.txt)\n", to);
}

}  // namespace

int verify_witness_file(const std::string& path, std::FILE* out, std::FILE* err) {
  WitnessRecord record;
  std::string why;
  if (!read_witnesses(path.c_str(), record, &why)) {
    std::fprintf(err, "tamrisk-verify: %s: %s\n", path.c_str(), why.c_str());
    return 2;
  }
  if (mpz_cmp_ui(record.p, 2) < 0) {
    std::fprintf(err, "tamrisk-verify: %s: the exponent is below 2\n", path.c_str());
    return 2;
  }
  const std::string range = "M" + to_decimal(record.p) + " k = " + to_decimal(record.k_first) +
                            " .. " + to_decimal(record.through);
  std::size_t faults = 0;
  const auto fault = [&](const std::string& text) {
    std::fprintf(out, "%s\n", text.c_str());
    ++faults;
  };
  // The range searched lies within the run's range.
  BigInt last_k;
  mpz_sub_ui(last_k, record.k_end, 1);
  if (mpz_cmp(record.through, last_k) > 0) {
    fault("the range searched ends at k = " + to_decimal(record.through) +
          ", beyond the run's last k = " + to_decimal(last_k));
  }
  BigInt two_p, k, d, residue, previous;
  mpz_mul_ui(two_p, record.p, 2);
  mpz_sub_ui(previous, record.k_first, 1);
  for (const BigInt& witness : record.ks) {
    const std::string name = "k = " + to_decimal(witness);
    if (mpz_cmp(witness, record.k_first) < 0 || mpz_cmp(witness, record.through) > 0) {
      fault(name + ": outside the range searched, k = " + to_decimal(record.k_first) + " .. " +
            to_decimal(record.through));
      continue;
    }
    if (mpz_cmp(witness, previous) <= 0) fault(name + ": not above the k before it");
    mpz_set(previous, witness);
    candidate_at(k, d, witness, two_p, 0);
    if (mpz_probab_prime_p(d, kPrimeRounds) == 0) {
      fault(name + ": d = " + to_decimal(d) + " is not prime");
      continue;
    }
    static const BigInt two(2);
    mpz_powm(residue, two, record.p, d);
    if (mpz_scan1(residue, 0) < record.bits) {
      fault(name + ": 2^p mod d = " + to_decimal(residue) + " does not end in " +
            std::to_string(record.bits) + " zero bits");
    }
  }
  // The count: the witnesses of the range searched, about E of them.
  BigInt k_hi;
  mpz_add_ui(k_hi, record.through, 1);
  const double expected = std::ldexp(expected_prime_candidates(record.p, record.k_first, k_hi),
                                     -static_cast<int>(record.bits));
  const double count = static_cast<double>(record.ks.size());
  const double spread = kCountSigmas * std::sqrt(expected);
  if (count < expected - spread || count > expected + spread) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%zu witnesses where about %.1f are expected (six standard deviations: %.1f)",
                  record.ks.size(), expected, spread);
    fault(text);
  }
  if (faults == 0) {
    std::fprintf(out, "witnesses ok: %zu of about %.1f expected for %s\n", record.ks.size(),
                 expected, range.c_str());
    return 0;
  }
  std::fprintf(out, "witnesses FAILED: %zu fault%s in %zu witnesses for %s\n", faults,
               faults == 1 ? "" : "s", record.ks.size(), range.c_str());
  return 1;
}

int verify_main(int argc, const char* const* argv) {
  std::string path = kWitnessFile;
  if (argc > 2) {
    usage(stderr);
    return 2;
  }
  if (argc == 2) {
    const std::string_view arg = argv[1];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    }
    if (arg.empty() || (arg.size() > 1 && arg[0] == '-')) {
      usage(stderr);
      return 2;
    }
    path = arg;
  }
  return verify_witness_file(path, stdout, stderr);
}
