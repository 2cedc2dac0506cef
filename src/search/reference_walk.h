// SPDX-License-Identifier: MIT
// The reference walk: the factor test written literally with GMP. Every
// offset j of a chunk whose bit in the mask (one big integer, bit j for
// offset j) is clear is tested, in increasing order, by 2^p mod d = 1 with
// k = k_first + j and d = 2kp + 1: the path every fast one is held to.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <vector>

#include "core/candidate.h"
#include "core/run_state.h"
#include "core/witness.h"
#include "search/backend.h"

// The chunk [from, to) of the segment over the mask: its last offset
// tested (-1 when none), its divisors' offsets, increasing, and the
// candidates whose residue has its low check_bits bits zero (the flags of
// core/witness.h, with their trailing zero bits). Offset n (always marked)
// is never tested.
ChunkReport test_reference_chunk(const SegmentCandidates& segment, mpz_srcptr mask,
                                 std::int32_t from, std::int32_t to,
                                 unsigned check_bits = kCpuCheckBits);

// Walks the segment of state.segment_size offsets from state.k_first over
// the mask, chunk by chunk (core/chunks.h), with each chunk's lines
// (report_chunk, reports.h); a segment of 0 offsets writes nothing. state.k
// and state.d name the last candidate tested.
void test_segment(RunState& state, mpz_srcptr mask);
