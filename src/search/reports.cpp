// SPDX-License-Identifier: MIT
#include "search/reports.h"

#include <cstdio>

#include "core/candidate.h"
#include "records/bitdepth.h"
#include "records/results.h"
#include "sieve/small_primes.h"

float clock_seconds(std::clock_t start, std::clock_t end) {
  return static_cast<float>(static_cast<double>(end - start) / CLOCKS_PER_SEC);
}

void print_segment_start() {
  std::putchar('\n');
  std::printf("Reinitializing sieve");
  std::putchar('\n');
}

void print_sieve_report(float seconds, std::int64_t marked, std::int32_t segment_size) {
  std::putchar('\n');
  std::printf("Sieve time   : %3.3f secs. ", static_cast<double>(seconds));
  std::printf("sieve percentage : %3.3f", sieve_percentage(marked, segment_size));
  std::putchar('\n');
  std::fflush(stdout);
}

void print_factor(mpz_srcptr p, mpz_srcptr d) {
  std::putchar('\r');
  std::putchar('M');
  gmp_printf("%Zd", p);
  std::printf(" has a factor: ");
  gmp_printf("%Zd", d);
  NF_writebits(d);
  std::putchar('\n');
  std::fflush(stdout);
}

void print_progress(mpz_srcptr k, mpz_srcptr d) {
  std::putchar('\n');
  gmp_printf("k=%Zd, d=%Zd", k, d);
  NF_writebits(d);
  std::fflush(stdout);  // the line stays open: show it now, not at the next line end
}

void report_factor(RunState& state) {
  print_factor(state.exponent, state.d);
  if (!writeresults(state.exponent, state.d)) state.record_failed = true;
  state.factor_found = 1;
}

void report_chunk(RunState& state, std::int64_t last_clear, const std::vector<std::int64_t>& hits) {
  for (const std::int64_t offset : hits) {
    candidate_at(state.k, state.d, state.k_first, state.two_p, offset);
    report_factor(state);
  }
  if (last_clear >= 0) candidate_at(state.k, state.d, state.k_first, state.two_p, last_clear);
  print_progress(state.k, state.d);
}
