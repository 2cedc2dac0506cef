// SPDX-License-Identifier: MIT
#include "sieve/prime_marks.h"

#include <algorithm>

#include "sieve/candidate_mask.h"

void plan_first_multiples(const FastSieveContext& ctx, mpz_srcptr k_first, std::int32_t n,
                          std::size_t from, std::size_t to, std::vector<std::int32_t>& first) {
  for (std::size_t i = from; i < to; ++i) {
    const std::uint32_t q = ctx.primes[i];
    first[i] = -1;
    if (ctx.p_mod[i] == 0) continue;  // every candidate is 1 mod q
    const std::uint64_t k_mod = mod_small(k_first, q);
    const std::uint64_t d0 = (2 * k_mod * ctx.p_mod[i] + 1) % q;
    // d0 + j * 2p = 0 (mod q)
    const std::uint64_t j = (q - d0) % q * ctx.inv_two_p[i] % q;
    if (j >= static_cast<std::uint64_t>(kWindowSize)) continue;  // beyond the window
    if (static_cast<std::int64_t>(j) >= std::int64_t{n} - q) continue;
    first[i] = static_cast<std::int32_t>(j);
  }
}

void mark_plain_plan(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                     std::int64_t to, std::int32_t n, const FastSieveContext& ctx,
                     const std::vector<std::int32_t>& first) {
  const std::int64_t end = std::min<std::int64_t>(to, n);
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first[i] < 0) continue;
    const std::int64_t q = ctx.primes[i];
    mark_plain_stride(words, lo, from, end, q, first[i] + q);
  }
}

void plan_lane_starts(std::int64_t base, std::int64_t t_from, std::int64_t t_to,
                      const FastSieveContext& ctx, const std::vector<std::int32_t>& first,
                      std::vector<std::int64_t>& next) {
  next.resize(first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    next[i] = t_to;  // nothing to mark
    if (first[i] < 0) continue;
    const std::int64_t q = ctx.primes[i];
    const std::int64_t j = first[i];
    // base + 60 t = j (mod q), and base + 60 t > j so that j itself stays clear.
    std::int64_t t = lane_root(j, base, q, ctx.inv_sixty[i]);
    const std::int64_t pos = base + 60 * t;
    if (pos <= j) t += ((j - pos) / (60 * q) + 1) * q;
    next[i] = stride_from(t, t_from, q);  // the first mark of this piece
  }
}

void mark_strides(std::uint64_t* words, const std::uint32_t* primes, std::size_t from,
                  std::size_t to, std::int64_t* next, std::int64_t end) {
  for (std::size_t i = from; i < to; ++i) {
    const std::int64_t q = primes[i];
    std::int64_t t = next[i];
    for (; t < end; t += q) words[t >> 6] |= std::uint64_t{1} << (t & 63);
    next[i] = t;
  }
}
