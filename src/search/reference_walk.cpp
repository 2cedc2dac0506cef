// SPDX-License-Identifier: MIT
#include "search/reference_walk.h"

#include <cassert>

#include "core/chunks.h"
#include "search/reports.h"

ChunkReport test_reference_chunk(const SegmentCandidates& segment, mpz_srcptr mask,
                                 std::int32_t from, std::int32_t to, unsigned check_bits) {
  ChunkReport out;
  BigInt k, d, residue;
  for (std::int32_t j = from; j < to && j < segment.n; ++j) {
    if (mpz_tstbit(mask, static_cast<mp_bitcnt_t>(j))) continue;
    candidate_at(k, d, segment.k_first, segment.two_p, j);
    if (divides_mersenne(residue, segment.exponent, d)) out.hits.push_back(j);
    const auto zero_bits = static_cast<unsigned>(mpz_scan1(residue, 0));
    if (zero_bits >= check_bits) out.flags.push_back({j, zero_bits});
    out.last_clear = j;
  }
  return out;
}

void test_segment(RunState& state, mpz_srcptr mask) {
  const std::int32_t n = state.segment_size;
  assert(n >= 0 && mpz_tstbit(mask, static_cast<mp_bitcnt_t>(n)));
  const SegmentCandidates segment(state.exponent, state.two_p, state.k_first, n);
  for (const auto& [from, to] : segment_chunks(n)) {
    const ChunkReport chunk = test_reference_chunk(segment, mask, from, to);
    report_chunk(state, chunk.last_clear, chunk.hits);
  }
}
