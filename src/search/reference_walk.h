// SPDX-License-Identifier: MIT
// The reference walk: the factor test of one segment, written literally with
// GMP. Every offset j below N whose mask bit is clear is tested, in
// increasing order, by 2^p mod d = 1 with k = k_first + j and d = 2kp + 1.
//
// - state.k and state.d name the last candidate tested in the run; they
//   change only when a candidate is tested.
// - A divisor is reported the moment it is found (report_factor, reports.h):
//   console line, then its record in results.txt; the walk goes on.
// - The walk is cut into the chunks of core/chunks.h; after each chunk a
//   progress line (print_progress, reports.h) is written. A segment of 0
//   offsets writes nothing.
#pragma once

#include <gmp.h>

#include "core/candidate.h"
#include "core/chunks.h"
#include "core/run_state.h"

// Walks the segment of state.segment_size offsets from state.k_first over
// the mask.
void test_segment(RunState& state, mpz_srcptr mask);
