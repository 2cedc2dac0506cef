// SPDX-License-Identifier: MIT
#include "search/segment_loop.h"

#include <cassert>
#include <ctime>
#include <memory>
#include <vector>

#include "records/status.h"
#include "search/reference_walk.h"
#include "search/fast_walk.h"
#include "search/reports.h"
#include "search/thread_team.h"
#include "sieve/candidate_mask.h"
#include "sieve/fast_mask.h"
#include "sieve/small_primes.h"

namespace {

// Working storage of the loop, alive for the whole run; only the chosen
// path's part is used.
struct SegmentBuffers {
  SearchPath path;
  // reference path
  CandidateWindow window;
  BigInt mask;
  BigInt first;  // candidate of the segment's offset 0
  // fast path: the team that sieves and tests, made once for the run, and
  // each member's scratch for its share of the sieve
  FastSieveContext context;
  FastMask fast;
  ThreadTeam team;
  std::vector<std::vector<std::int64_t>> next;

  SegmentBuffers(SearchPath p, int threads)
      : path(p), team(p == SearchPath::Fast ? threads : 1), next(static_cast<std::size_t>(threads)) {}
};

void run_one_segment(RunState& state, const SmallPrimeTable& table, SegmentBuffers& buf) {
  const std::clock_t start = std::clock();
  print_segment_start();

  const std::int32_t n = state.segment_size;
  if (buf.path == SearchPath::Fast) {
    // The count printed is the plan's marks'; the deeper ones only skip tests.
    const std::int64_t marked =
        sieve_segment_fast(buf.fast, buf.context, state.k_first, n, buf.team, buf.next);
    print_sieve_report(clock_seconds(start, std::clock()), marked, n);
    test_segment_fast(state, buf.fast, &buf.team);
  } else {
    mpz_mul(buf.first, state.k_first, state.two_p);
    mpz_add_ui(buf.first, buf.first, 1);
    build_candidate_mask(buf.window, buf.mask, buf.first, state.two_p, n);
    const std::int64_t marked =
        sieve_small_primes(table, state.sieve_prime_count, buf.window, buf.mask, n);
    print_sieve_report(clock_seconds(start, std::clock()), marked, n);
    test_segment(state, buf.mask);
  }

  // The next segment starts right behind this one.
  mpz_add_ui(state.k_first, state.k_first, static_cast<unsigned long>(n));
  if (!writestatus(state.exponent, state.k_first, state.d_low, state.d_high, state.start_bits,
                   state.end_bits)) {
    state.record_failed = true;
  }
  mpz_add_ui(state.segment_index, state.segment_index, 1);
}

}  // namespace

void run_segments(RunState& state, const SmallPrimeTable& table, std::int32_t segment_length,
                  const SegmentObserver& after_segment, SearchPath path, int threads) {
  assert(segment_length > 0);
  assert(threads >= 1);
  assert(state.last_segment_size >= 0 && state.last_segment_size < segment_length);
  state.segment_size = segment_length;
  // 128 MB for the reference mask, a few MB for the fast one: kept off the stack.
  const auto storage = std::make_unique<SegmentBuffers>(path, threads);
  SegmentBuffers& buf = *storage;
  if (path == SearchPath::Fast) {
    prepare_fast_sieve(buf.context, table, state.sieve_prime_count, state.exponent,
                       kDeepSieveBound);
  }
  bool final_pass = false;
  for (;;) {
    if (mpz_cmp(state.segment_index, state.full_segments) < 0) {
      run_one_segment(state, table, buf);
      if (after_segment) after_segment(state);
      continue;
    }
    if (final_pass) break;
    // One more segment beyond the full ones, under the same test; with a
    // negative full_segments the test still fails and none runs.
    state.segment_size = state.last_segment_size;
    mpz_add_ui(state.full_segments, state.full_segments, 1);
    final_pass = true;
  }
}
