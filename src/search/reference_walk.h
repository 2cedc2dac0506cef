// SPDX-License-Identifier: MIT
// The reference walk: the factor test of one segment, written literally with
// GMP. Every offset j below N whose mask bit is clear is tested, in
// increasing order, by 2^p mod d = 1 with k = k_first + j and d = 2kp + 1.
//
// - state.k and state.d name the last candidate tested in the run; they
//   change only when a candidate is tested.
// - A divisor is reported the moment it is found (report_factor, reports.h):
//   console line, then its record in results.txt; the walk goes on.
// - The walk is cut into chunks of N / 20 offsets (1 when N < 20); after each
//   chunk a progress line (print_progress, reports.h) is written. A chunk may
//   visit offset N (always marked) but never tests it. A segment of 0 offsets
//   writes nothing.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "core/run_state.h"

// Offsets per chunk for a segment of N offsets: N / 20, at least 1.
std::int32_t chunk_length(std::int32_t segment_size);

// One past the last offset of the chunk that starts at offset j: the chunk
// visits j, j + 1, ... while fewer than `chunk` are visited and the offset
// is at most N.
std::int32_t chunk_end(std::int32_t j, std::int32_t chunk, std::int32_t segment_size);

// The chunks [from, to) of a segment of N offsets, in order.
std::vector<std::pair<std::int32_t, std::int32_t>> segment_chunks(std::int32_t segment_size);

// True when d divides 2^p - 1, i.e. 2^p mod d = 1. residue is scratch.
bool divides_mersenne(mpz_ptr residue, mpz_srcptr p, mpz_srcptr d);

// Walks the segment of state.segment_size offsets from state.k_first over
// the mask.
void test_segment(RunState& state, mpz_srcptr mask);
