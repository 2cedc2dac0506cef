// SPDX-License-Identifier: MIT
// The state of one factoring run, new or resumed. The driver owns the only
// instance; the sieve, the search and the records work on it in turn.
#pragma once

#include <cstdint>

#include "core/big_int.h"

// Version shown by every banner.
inline constexpr const char* kVersion = "4.02 - October 29th, 2005";

// Number of k values in a full segment of the shipped program: the mask then
// holds kSegmentK + 1 bits, about 128 MB.
inline constexpr std::int32_t kSegmentK = 1024000000;

struct RunState {
  BigInt exponent{0};       // p of M(p) = 2^p - 1
  BigInt two_p{0};          // 2p, the step between consecutive candidates
  BigInt d_low{0};          // lower divisor bound
  BigInt d_high{0};         // upper divisor bound
  BigInt k_first{0};        // k of offset 0 of the current segment
  BigInt k{1};              // k of the last candidate tested
  BigInt d{0};              // the last candidate tested; at a segment start, its first candidate
  float start_bits = 2.0f;  // start bit depth
  float end_bits = 1.0f;    // end bit depth
  std::int32_t segment_size = kSegmentK;  // k values of the current segment
  BigInt full_segments{0};                // whole segments of the plan
  std::int32_t last_segment_size = 0;     // k values of the final segment
  BigInt segment_index{0};                // segments completed in this run
  std::int32_t sieve_prime_count = 0;     // table entries the sieve works with
  std::int32_t factor_found = 0;          // 1 once any factor has been found

  // Set when a record (results.txt or status.txt) could not be written; the
  // run goes on and ends with exit status 2.
  bool record_failed = false;
};
