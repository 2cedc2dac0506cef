// SPDX-License-Identifier: MIT
#include "search/reference_walk.h"

#include <algorithm>
#include <cassert>

#include "search/reports.h"

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
