// SPDX-License-Identifier: MIT
#include "sieve/sieve_context.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "core/cpu_features.h"
#include "core/cpu_tuning.h"

namespace {

constexpr std::int64_t kFirstSievingIndex = 3;  // 7: 2, 3 and 5 are left to the residue marks

std::uint32_t inverse_mod(std::uint64_t a, std::uint32_t q) {
  // Extended Euclid; a and q coprime.
  std::int64_t t = 0, new_t = 1;
  std::int64_t r = q, new_r = static_cast<std::int64_t>(a % q);
  while (new_r != 0) {
    const std::int64_t quotient = r / new_r;
    t -= quotient * new_t;
    std::swap(t, new_t);
    r -= quotient * new_r;
    std::swap(r, new_r);
  }
  assert(r == 1);
  return static_cast<std::uint32_t>(t < 0 ? t + q : t);
}

// 2^e mod q for q < 2^32.
std::uint64_t pow2_mod_small(std::uint64_t e, std::uint64_t q) {
  std::uint64_t result = 1 % q, base = 2 % q;
  for (; e != 0; e >>= 1) {
    if (e & 1) result = result * base % q;
    base = base * base % q;
  }
  return result;
}

// The plan's primes: table indexes 3 .. prime_count - 1.
void plan_primes(FastSieveContext& ctx, const SmallPrimeTable& table, std::int32_t prime_count,
                 mpz_srcptr p) {
  const std::int64_t end = std::min(prime_count, table.count);
  ctx.primes.clear();
  ctx.p_mod.clear();
  ctx.inv_two_p.clear();
  ctx.inv_sixty.clear();
  for (std::int64_t i = kFirstSievingIndex; i < end; ++i) {
    const auto q = static_cast<std::uint32_t>(table.primes[static_cast<std::size_t>(i)]);
    const auto pm = static_cast<std::uint32_t>(mod_small(p, q));
    ctx.primes.push_back(q);
    ctx.p_mod.push_back(pm);
    ctx.inv_two_p.push_back(pm == 0 ? 0 : inverse_mod(2 * std::uint64_t{pm}, q));
    ctx.inv_sixty.push_back(inverse_mod(60, q));
  }
  ctx.p_mod_60 = static_cast<std::uint32_t>(mpz_fdiv_ui(p, 60));
}

// The blocks from this CPU's caches: a small block a fraction of the L1
// data cache, a large one a fraction of the L2 (the rest for the primes'
// state and the other data in use); the primes that mark each small block
// several times go through the small blocks.
void block_sizes(FastSieveContext& ctx) {
  const CacheSizes& caches = cache_sizes();
  // Cache bytes to bits: 8 a byte, a fraction of the cache a block.
  ctx.small_block_bits = std::clamp<std::int64_t>(caches.l1_data * 8 / kSmallBlockPerL1,
                                                  kSmallBlockMinBits, kSmallBlockMaxBits) &
                         ~63;
  ctx.block_bits = std::clamp<std::int64_t>(caches.l2 * 8 / kLargeBlockPerL2,
                                            ctx.small_block_bits, kLargeBlockMaxBits) &
                   ~63;
  set_small_prime_limit(
      ctx, static_cast<std::uint32_t>(ctx.small_block_bits / kSmallPrimeMarksPerBlock));
}

// The word patterns of the primes below kPatternPrimeLimit, one per shift,
// and of their pairs.
void word_patterns(FastSieveContext& ctx) {
  ctx.pattern_primes = 0;
  ctx.shifts.clear();
  while (ctx.pattern_primes < ctx.primes.size() &&
         ctx.primes[ctx.pattern_primes] < kPatternPrimeLimit) {
    const std::uint32_t q = ctx.primes[ctx.pattern_primes++];
    std::vector<std::uint64_t> shift(q, 0);
    for (std::uint32_t s0 = 0; s0 < q; ++s0) {
      for (std::uint32_t b = 0; b < 64; ++b) {
        if ((s0 + b) % q == 0) shift[s0] |= std::uint64_t{1} << b;
      }
    }
    ctx.shifts.push_back(std::move(shift));
  }
  ctx.pairs.clear();
  ctx.pair_shifts.clear();
  for (std::size_t a = 0, b = ctx.pattern_primes; a + 1 < b; ++a, --b) {
    const std::uint32_t q1 = ctx.primes[a], q2 = ctx.primes[b - 1];
    const std::uint32_t period = q1 * q2;
    ctx.pairs.push_back({a, b - 1, period, inverse_mod(q1, q2)});
    std::vector<std::uint64_t> shift(period, 0);
    for (std::uint32_t s0 = 0; s0 < period; ++s0) {
      shift[s0] = ctx.shifts[a][s0 % q1] | ctx.shifts[b - 1][s0 % q2];
    }
    ctx.pair_shifts.push_back(std::move(shift));
  }
}

// The deeper primes: from just above the plan's largest (5 when the plan
// has none of its own) up to the bound, less those that divide M(p) or p,
// and less those that are candidates themselves (1 mod 2p): a deeper prime
// strikes its every multiple, itself included, and a prime candidate is to
// be tested on every path (it may be a residue witness, core/witness.h).
void deeper_primes(FastSieveContext& ctx, mpz_srcptr p, std::uint32_t deep_bound) {
  ctx.deep_bound = deep_bound;
  ctx.deep_primes.clear();
  ctx.deep_p_mod.clear();
  ctx.deep_inv_two_p.clear();
  ctx.deep_inv_sixty.clear();
  const std::uint32_t plan_top =
      std::max<std::uint32_t>(ctx.primes.empty() ? 0 : ctx.primes.back(), 5);
  for (const std::uint32_t q : primes_up_to(deep_bound)) {
    if (q <= plan_top) continue;
    const auto pm = static_cast<std::uint32_t>(mod_small(p, q));
    if (pm == 0) continue;  // every candidate is 1 mod q
    // 2^p = 2^(p mod (q - 1)) (mod q), by Fermat.
    if (pow2_mod_small(mod_small(p, q - 1), q) == 1) continue;  // q divides M(p)
    if (mpz_cmp_ui(p, (q - 1) / 2) <= 0 && ((q - 1) / 2) % mpz_get_ui(p) == 0) continue;
    ctx.deep_primes.push_back(q);
    ctx.deep_p_mod.push_back(pm);
    ctx.deep_inv_two_p.push_back(inverse_mod(2 * std::uint64_t{pm}, q));
    ctx.deep_inv_sixty.push_back(inverse_mod(60, q));
  }
}

}  // namespace

void set_small_prime_limit(FastSieveContext& ctx, std::uint32_t limit) {
  ctx.small_primes = static_cast<std::size_t>(
      std::lower_bound(ctx.primes.begin(), ctx.primes.end(), limit) - ctx.primes.begin());
}

void prepare_fast_sieve(FastSieveContext& ctx, const SmallPrimeTable& table,
                        std::int32_t prime_count, mpz_srcptr p, std::uint32_t deep_bound) {
  plan_primes(ctx, table, prime_count, p);
  block_sizes(ctx);
  word_patterns(ctx);
  deeper_primes(ctx, p, deep_bound);
}
