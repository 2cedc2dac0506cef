// SPDX-License-Identifier: MIT
// Times one segment of the reference search: p = 86249 from 60 bits on
// (k_first = 6683680417203), 1024000000 values of k, sieved with the primes
// of a 60-bit run (6879). Prints the seconds of processor time of the mask
// (window and residue marks), of the small-prime marks and of the tests.
//
//   reference_segment [segment_length [sieve_depth]]
//
// The segment's own console output (sieve line, progress lines) comes first;
// a factor found would be appended to results.txt in the working directory.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "driver/plan.h"
#include "core/run_state.h"
#include "search/reference_walk.h"
#include "search/reports.h"
#include "sieve/candidate_mask.h"
#include "sieve/prime_table.h"
#include "sieve/small_primes.h"

int main(int argc, char** argv) {
  const long length = argc > 1 ? std::strtol(argv[1], nullptr, 10) : kSegmentK;
  const float depth = argc > 2 ? std::strtof(argv[2], nullptr) : 60.0f;
  if (length < 0 || length > kSegmentK) {
    std::fprintf(stderr, "segment length must lie in 0..%d\n", kSegmentK);
    return 1;
  }

  RunState state;
  mpz_set_ui(state.exponent, 86249);
  mpz_mul_ui(state.two_p, state.exponent, 2);
  state.start_bits = 60.0f;
  state.end_bits = 61.0f;
  set_bounds(state);
  plan_segments(state);
  state.segment_size = static_cast<std::int32_t>(length);

  static SmallPrimeTable table;
  build_prime_table(table);
  state.sieve_prime_count = sieve_prime_count_for(table, depth);

  CandidateWindow window;
  BigInt mask;
  const std::clock_t t0 = std::clock();
  build_candidate_mask(window, mask, state.d, state.two_p, state.segment_size);
  const std::clock_t t1 = std::clock();
  mark_small_primes(table, state.sieve_prime_count, window, mask, state.segment_size);
  const std::clock_t t2 = std::clock();
  const std::int64_t marked = count_marked(mask, state.segment_size);
  print_sieve_report(clock_seconds(t0, std::clock()), marked, state.segment_size);
  const std::clock_t t3 = std::clock();
  test_segment(state, mask);
  const std::clock_t t4 = std::clock();

  gmp_printf("\n\np = 86249, k from %Zd, %ld values of k, %d sieving primes\n",
             state.k_first.get(), length, state.sieve_prime_count);
  std::printf("mask (window and residue marks): %8.3f s\n",
              static_cast<double>(clock_seconds(t0, t1)));
  std::printf("small-prime marks:               %8.3f s\n",
              static_cast<double>(clock_seconds(t1, t2)));
  std::printf("sieve total (with the count):    %8.3f s\n",
              static_cast<double>(clock_seconds(t0, t3)));
  std::printf("tests:                           %8.3f s  (%lld candidates)\n",
              static_cast<double>(clock_seconds(t3, t4)),
              static_cast<long long>(length - marked));
  return 0;
}
