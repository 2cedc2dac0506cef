// SPDX-License-Identifier: MIT
// The sieve's per-run setup, made once by prepare_fast_sieve and read by
// every segment's marks (sieve_segment.h) and by the device's sieve: the
// plan's sieving primes with p mod q and the inverses the first multiples
// need, the word patterns of the primes below 64 (alone and in pairs), the
// block sizes from this CPU's caches, and the deeper sieve's primes.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cpu_tuning.h"  // the deeper sieve's bound, the blocks' shares of the caches
#include "sieve/prime_table.h"

// Per-run constants: the sieving primes (table indexes 3 .. prime_count - 1)
// with p mod q and the inverses of 2p and 60 modulo q.
struct FastSieveContext {
  std::vector<std::uint32_t> primes;
  std::vector<std::uint32_t> p_mod;      // p mod q
  std::vector<std::uint32_t> inv_two_p;  // (2p)^-1 mod q; unused when q divides p
  std::vector<std::uint32_t> inv_sixty;  // 60^-1 mod q
  std::uint32_t p_mod_60 = 0;
  // For the primes below 64 (the first pattern_primes entries), which mark
  // more than one bit per word: word patterns, shifts[i][s] having bit b set
  // when (s + b) mod q = 0, so a lane takes their marks a word at a time.
  std::size_t pattern_primes = 0;
  std::vector<std::vector<std::uint64_t>> shifts;
  // The pattern primes taken two at a time (smallest with largest), so a
  // lane takes both in one pass: pair_shifts[g][s] has bit b set when
  // (s + b) mod q1 = 0 or (s + b) mod q2 = 0, s in [0, q1 q2); by the
  // Chinese remainder theorem s = r1 + q1 ((r2 - r1) q1^-1 mod q2) stands
  // for the residues r1 mod q1 and r2 mod q2.
  struct PatternPair {
    std::size_t first, second;  // indexes of the two primes
    std::uint32_t period;       // q1 q2
    std::uint32_t inv_first;    // q1^-1 mod q2
  };
  std::vector<PatternPair> pairs;
  std::vector<std::vector<std::uint64_t>> pair_shifts;
  // Bits of a lane sieved at a time, by cache level: the word patterns and
  // the plan's primes below the first small_primes entries' end through
  // small blocks (a fraction of the L1 data cache), the other primes through
  // large blocks (a fraction of the L2 cache) that small ones make up. From
  // this CPU's caches and core/cpu_tuning.h (prepare_fast_sieve); multiples
  // of 64; tests shrink them to cross many block boundaries
  // (set_small_prime_limit then moves the primes' split with them).
  std::int64_t small_block_bits = std::int64_t{1} << 17;
  std::int64_t block_bits = std::int64_t{1} << 21;
  std::size_t small_primes = 0;
  // The deeper sieve: the primes above the plan's up to deep_bound that
  // neither divide M(p) (2^p mod q != 1) nor p, nor are candidates
  // themselves (q = 1 mod 2p: a prime candidate is tested on every path).
  // Such a prime divides no divisor of M(p), so every multiple of it among
  // the candidates is struck, purely to skip tests that cannot succeed; the
  // plan's marks and their count stay what they are.
  std::uint32_t deep_bound = 0;
  std::vector<std::uint32_t> deep_primes;
  std::vector<std::uint32_t> deep_p_mod;      // p mod q
  std::vector<std::uint32_t> deep_inv_two_p;  // (2p)^-1 mod q
  std::vector<std::uint32_t> deep_inv_sixty;  // 60^-1 mod q
};

// Sends the primes below limit through the small blocks.
void set_small_prime_limit(FastSieveContext& ctx, std::uint32_t limit);

// deep_bound 0 (or one at or below the plan's largest prime) leaves the
// deeper sieve out.
void prepare_fast_sieve(FastSieveContext& ctx, const SmallPrimeTable& table,
                        std::int32_t prime_count, mpz_srcptr p, std::uint32_t deep_bound = 0);

// v mod q for v >= 0: one hardware division when v fits a machine word.
// GMP's general routine works out an inverse of q on every call, which for
// the tens of thousands of primes of a segment's start costs more than the
// division (and far more under emulation).
inline std::uint64_t mod_small(mpz_srcptr v, std::uint64_t q) {
  return mpz_fits_ulong_p(v) ? mpz_get_ui(v) % q : mpz_fdiv_ui(v, q);
}
