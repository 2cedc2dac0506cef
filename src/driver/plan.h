// SPDX-License-Identifier: MIT
// Bit-depth range and segment plan. A bit depth i + f stands for the divisor
// 2^i * (1 + f), its fraction resolved to 1e-8 (rounded down for the start,
// up for the end). The search runs over k, d = 2kp + 1, in segments of
// segment_length values of k.
#pragma once

#include <cstdint>

#include "core/run_state.h"

// New run only: d_low, d_high and k_first from start_bits, end_bits and
// exponent. Requires start_bits >= 2 and 0 <= end_bits <= 4096.
void set_bounds(RunState& state);

// New and resumed runs: full_segments and last_segment_size for the k range
// from k_first to the last k whose candidate does not exceed d_high; then a
// k_first of 0 becomes 1 and d is set to the first candidate 2 k_first p + 1.
// Requires exponent >= 1.
void plan_segments(RunState& state, std::int32_t segment_length = kSegmentK);
