// SPDX-License-Identifier: MIT
#include "sieve/deep_marks.h"

#include <algorithm>

#include "sieve/prime_marks.h"

void deep_roots(const FastSieveContext& ctx, mpz_srcptr k_first, std::size_t from, std::size_t to,
                std::vector<std::uint32_t>& roots) {
  for (std::size_t i = from; i < to; ++i) {
    const std::uint64_t q = ctx.deep_primes[i];
    // d0 + j * 2p = 0 (mod q)
    const std::uint64_t d0 = (2 * mod_small(k_first, q) % q * ctx.deep_p_mod[i] + 1) % q;
    roots[i] = static_cast<std::uint32_t>((q - d0) % q * ctx.deep_inv_two_p[i] % q);
  }
}

void mark_plain_deep(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                     std::int64_t to, std::int32_t n, const FastSieveContext& ctx,
                     const std::vector<std::uint32_t>& roots) {
  const std::int64_t end = std::min<std::int64_t>(to, n);
  if (from >= end) return;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    mark_plain_stride(words, lo, from, end, ctx.deep_primes[i], roots[i]);
  }
}

void mark_deep_lane(std::vector<std::uint64_t>& words, std::int64_t base, std::int64_t t_from,
                    std::int64_t t_to, const FastSieveContext& ctx,
                    const std::vector<std::uint32_t>& roots, std::vector<std::int64_t>& next) {
  next.resize(roots.size());
  for (std::size_t i = 0; i < roots.size(); ++i) {
    const std::int64_t q = ctx.deep_primes[i];
    next[i] = stride_from(lane_root(roots[i], base, q, ctx.deep_inv_sixty[i]), t_from, q);
  }
  // Block by block as the plan's marks (the block size made no measurable
  // difference to these from 2^21 to 2^25 bits).
  for (std::int64_t block = t_from; block < t_to; block += ctx.block_bits) {
    mark_strides(words.data(), ctx.deep_primes.data(), 0, roots.size(), next.data(),
                 std::min(t_to, block + ctx.block_bits));
  }
}
