// SPDX-License-Identifier: MIT
// The fast candidate mask: the same marks as the reference mask of a segment
// (candidate_mask.h + small_primes.h), laid down in machine words.
//
// From the anchor on, the class pattern leaves 16 of every 60 offsets clear;
// the mask keeps only those 16 "lanes" as bitmaps of their own (bit t of lane
// c stands for offset anchor + lane_offset[c] + 60 t), so the small primes
// touch 16/60 of the bits the reference touches, and the 44 pattern offsets
// of every period are marked implicitly. The offsets before the anchor and
// after the last period (at most 60 each, plus bit N) live in two plain word
// arrays. When no class pattern applies (p not prime to 30, or a segment
// too short for a period), one plain array covers the whole segment.
//
// First multiples come from a modular inverse of 2p instead of a scan of the
// 66000-candidate window, with the window's meaning kept: a prime whose
// first multiple lies at or beyond offset 66000 marks nothing, the first
// multiple itself stays clear, nothing is marked when j >= N - q, and a
// prime dividing 2p has no multiple.
#pragma once

#include <gmp.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/bit_words.h"
#include "core/cpu_tuning.h"
#include "sieve/prime_table.h"

inline constexpr int kLaneCount = 16;  // offsets per period the pattern leaves clear

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
  // small blocks (half the L1 data cache), the other primes through large
  // blocks (half the L2 cache) that small ones make up. From this CPU's
  // caches (prepare_fast_sieve); multiples of 64; tests shrink them to
  // cross many block boundaries (set_small_prime_limit then moves the
  // primes' split with them).
  std::int64_t small_block_bits = std::int64_t{1} << 17;
  std::int64_t block_bits = std::int64_t{1} << 21;
  std::size_t small_primes = 0;
  // The deeper sieve: the primes above the plan's up to deep_bound that
  // neither divide M(p) (2^p mod q != 1) nor p. Such a prime divides no
  // divisor of M(p), so every multiple of it among the candidates (itself
  // included) is struck, purely to skip tests that cannot succeed; the
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
                        std::int32_t prime_count, mpz_srcptr p,
                        std::uint32_t deep_bound = 0);

struct FastMask {
  std::int32_t n = 0;          // offsets in the segment (bit n is always set)
  std::int32_t anchor = -1;    // first offset of the first period, -1 when none
  std::int64_t periods = 0;    // number of periods; 0 when no class pattern applies
  std::array<std::int32_t, kLaneCount> lane_offset{};      // increasing, 0 first
  std::array<std::vector<std::uint64_t>, kLaneCount> lanes;  // set bit: skipped
  // Plain regions: offsets [0, head_end) and [tail_start, tail_end).
  std::int64_t head_end = 0;
  std::vector<std::uint64_t> head;
  std::int64_t tail_start = 0, tail_end = 0;
  std::vector<std::uint64_t> tail;
  // Kept between the steps of the build: the head marks (bits of offsets
  // 0..60) and each prime's first multiple in the segment, or -1.
  std::uint64_t head_bits = 0;
  std::vector<std::int32_t> first;
  // Each deeper prime's root: the offset in [0, q) whose candidate it divides.
  std::vector<std::uint32_t> deep_root;
  // For each twentieth of the segment, the last offset the plan's marks
  // leave clear (-1 when none), noted before the deeper marks; empty until
  // noted (the walk then reads the mask itself).
  std::vector<std::int64_t> plan_last;
  // Scratch of build_fast_mask, kept to spare allocations: each prime's next
  // mark in the lane being sieved; and the same for each member of a team
  // that sieves the segment (sieve_segment.h).
  std::vector<std::int64_t> next;
  std::vector<std::vector<std::int64_t>> scratch;
};

// Where a segment's offsets go, before any prime: the head marks (bits of
// offsets 0..60), the anchor and number of periods (0: no class pattern,
// one plain region [0, head_end)), the 16 lanes' offsets in a period, and
// the plain head [0, head_end) and tail [tail_start, tail_end).
struct FastLayout {
  std::uint64_t head_bits = 0;
  std::int32_t anchor = -1;
  std::int64_t periods = 0;
  std::array<std::int32_t, kLaneCount> lane_offset{};
  std::int64_t head_end = 0, tail_start = 0, tail_end = 0;
};
FastLayout fast_layout(const FastSieveContext& ctx, mpz_srcptr k_first, std::int32_t n);

// Builds the mask of the segment of n values of k from k_first.
void build_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n);

// The same build in steps, so that threads can share them: begin_fast_mask
// lays out the segment (anchor, lanes, the plain head and tail); then
// fast_mask_roots_part, once for every part in 0 .. parts - 1, in any order
// or at the same time, finds its share of the primes' first multiples and
// the deeper primes' roots; finish_fast_mask_start marks the plain head and
// tail; then mark_fast_mask_part, called once for every part (any order, at
// the same time), marks the part-th share of the rest and returns the marks
// it laid below n. Parts write disjoint words; each needs its own `next`
// scratch. The mask is whole when every part has returned, and its count
// (fast_count_marked) is then the parts' counts plus fast_count_edges.
// start_fast_mask does the first three steps on one thread.
void begin_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n);
void fast_mask_roots_part(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                          int part, int parts);
void finish_fast_mask_start(FastMask& mask, const FastSieveContext& ctx);
void start_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n);
std::int64_t mark_fast_mask_part(FastMask& mask, const FastSieveContext& ctx, int part,
                                 int parts, std::vector<std::int64_t>& next);
// The marks among offsets below n that no part counts: the plain head and
// tail, and the 44 pattern offsets of every period (0 without periods).
std::int64_t fast_count_edges(const FastMask& mask);

// The deeper marks, in parts as mark_fast_mask_part (the same words to the
// same part), once every part of that has returned: they only add marks.
void deepen_fast_mask_part(FastMask& mask, const FastSieveContext& ctx, int part, int parts,
                           std::vector<std::int64_t>& next);

// The largest clear offset in [lo, hi) ∩ [0, n), or -1.
std::int64_t fast_last_clear(const FastMask& mask, std::int64_t lo, std::int64_t hi);

// Whether the candidate at offset (0 <= offset <= n) is skipped.
bool fast_mask_test(const FastMask& mask, std::int64_t offset);

// Number of set bits among offsets 0 .. n - 1.
std::int64_t fast_count_marked(const FastMask& mask);

// Calls visit(offset) for every clear offset in [lo, hi) ∩ [0, n): the
// plain regions in increasing order, then lane by lane in increasing order.
template <typename Visit>
void for_each_clear(const FastMask& mask, std::int64_t lo, std::int64_t hi, Visit&& visit);

// The regions of the mask that hold [lo, hi) ∩ [0, n), in the order
// for_each_clear visits them: region(words, from, to, base, stride) for bits
// [from, to) of words, bit t standing for offset base + stride * t. The
// region's clear bits are the clear offsets it holds.
template <typename Region>
void for_each_region(const FastMask& mask, std::int64_t lo, std::int64_t hi, Region&& region);

// The whole mask as plain words (bit i = offset i), over max(n + 1, 61) bits:
// what the reference mask holds, for comparisons.
std::vector<std::uint64_t> expand_fast_mask(const FastMask& mask);

// ---------------------------------------------------------------------------

namespace fast_mask_internal {

template <typename Visit>
void clear_bits(const std::vector<std::uint64_t>& words, std::int64_t from, std::int64_t to,
                std::int64_t base, std::int64_t step, Visit& visit) {
  // Visits base + step * t for every clear bit t in [from, to).
  for_each_clear_word(words, from, to, [&](std::int64_t bit0, std::uint64_t free) {
    for (; free != 0; free &= free - 1) visit(base + step * (bit0 + __builtin_ctzll(free)));
  });
}

}  // namespace fast_mask_internal

template <typename Region>
void for_each_region(const FastMask& mask, std::int64_t lo, std::int64_t hi, Region&& region) {
  if (hi > mask.n) hi = mask.n;
  if (lo < 0) lo = 0;
  if (lo >= hi) return;
  const std::int64_t head_to = std::min(hi, mask.head_end);
  if (lo < head_to) region(mask.head, lo, head_to, std::int64_t{0}, std::int64_t{1});
  if (mask.periods > 0) {
    for (int c = 0; c < kLaneCount; ++c) {
      const std::int64_t base = mask.anchor + mask.lane_offset[static_cast<std::size_t>(c)];
      // t with lo <= base + 60 t < hi
      const std::int64_t t_lo = lo <= base ? 0 : (lo - base + 59) / 60;
      std::int64_t t_hi = hi <= base ? 0 : (hi - base + 59) / 60;
      if (t_hi > mask.periods) t_hi = mask.periods;
      if (t_lo < t_hi) {
        region(mask.lanes[static_cast<std::size_t>(c)], t_lo, t_hi, base, std::int64_t{60});
      }
    }
    const std::int64_t from = std::max(lo, mask.tail_start);
    if (from < hi) {
      region(mask.tail, from - mask.tail_start, hi - mask.tail_start, mask.tail_start,
             std::int64_t{1});
    }
  }
}

template <typename Visit>
void for_each_clear(const FastMask& mask, std::int64_t lo, std::int64_t hi, Visit&& visit) {
  for_each_region(mask, lo, hi,
                  [&](const std::vector<std::uint64_t>& words, std::int64_t from, std::int64_t to,
                      std::int64_t base, std::int64_t stride) {
                    fast_mask_internal::clear_bits(words, from, to, base, stride, visit);
                  });
}
