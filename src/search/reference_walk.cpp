// SPDX-License-Identifier: MIT
#include "search/reference_walk.h"

#include <algorithm>
#include <cassert>

#include "search/reports.h"

namespace {

constexpr std::int32_t kChunksPerSegment = 20;

}  // namespace

std::int32_t chunk_length(std::int32_t segment_size) {
  // Below 20 offsets a twentieth is 0, which would never move the walk on:
  // such a segment gets one progress line per offset instead.
  return std::max<std::int32_t>(segment_size / kChunksPerSegment, 1);
}

std::int32_t chunk_end(std::int32_t j, std::int32_t chunk, std::int32_t segment_size) {
  const std::int64_t end = std::min(std::int64_t{j} + chunk, std::int64_t{segment_size} + 1);
  return static_cast<std::int32_t>(end);
}

std::vector<std::pair<std::int32_t, std::int32_t>> segment_chunks(std::int32_t segment_size) {
  std::vector<std::pair<std::int32_t, std::int32_t>> chunks;
  const std::int32_t chunk = chunk_length(segment_size);
  for (std::int32_t j = 0; j < segment_size; j = chunk_end(j, chunk, segment_size)) {
    chunks.emplace_back(j, chunk_end(j, chunk, segment_size));
  }
  return chunks;
}

bool divides_mersenne(mpz_ptr residue, mpz_srcptr p, mpz_srcptr d) {
  static const BigInt two(2);
  mpz_powm(residue, two, p, d);
  return mpz_cmp_ui(residue, 1) == 0;
}

void test_segment(RunState& state, mpz_srcptr mask) {
  const std::int32_t n = state.segment_size;
  assert(n >= 0 && mpz_tstbit(mask, static_cast<mp_bitcnt_t>(n)));
  const std::int32_t chunk = chunk_length(n);
  BigInt residue(1);
  std::int32_t j = 0;
  while (j < n) {
    for (const std::int32_t end = chunk_end(j, chunk, n); j < end; ++j) {
      if (mpz_tstbit(mask, static_cast<mp_bitcnt_t>(j))) continue;
      mpz_add_ui(state.k, state.k_first, static_cast<unsigned long>(j));
      mpz_mul(state.d, state.k, state.two_p);
      mpz_add_ui(state.d, state.d, 1);
      if (divides_mersenne(residue, state.exponent, state.d)) report_factor(state);
    }
    print_progress(state.k, state.d);
  }
}
