// SPDX-License-Identifier: MIT
#include "search/reference_walk.h"

#include <cassert>

#include "core/chunks.h"
#include "search/reports.h"

ReferenceChunk test_reference_chunk(const SegmentCandidates& segment, mpz_srcptr mask,
                                    std::int32_t from, std::int32_t to) {
  ReferenceChunk out;
  BigInt k, d, residue;
  for (std::int32_t j = from; j < to && j < segment.n; ++j) {
    if (mpz_tstbit(mask, static_cast<mp_bitcnt_t>(j))) continue;
    candidate_at(k, d, segment.k_first, segment.two_p, j);
    if (divides_mersenne(residue, segment.exponent, d)) out.hits.push_back(j);
    out.last_tested = j;
  }
  return out;
}

void test_segment(RunState& state, mpz_srcptr mask) {
  const std::int32_t n = state.segment_size;
  assert(n >= 0 && mpz_tstbit(mask, static_cast<mp_bitcnt_t>(n)));
  const SegmentCandidates segment(state.exponent, state.two_p, state.k_first, n);
  for (const auto& [from, to] : segment_chunks(n)) {
    const ReferenceChunk chunk = test_reference_chunk(segment, mask, from, to);
    report_chunk(state, chunk.last_tested, chunk.hits);
  }
}
