// SPDX-License-Identifier: MIT
// The fast candidate mask of a segment and its queries: the same marks as
// the reference mask (candidate_mask.h + small_primes.h), held in machine
// words; sieve_segment.h lays them.
//
// From the anchor on, the class pattern leaves 16 of every 60 offsets clear;
// the mask keeps only those 16 "lanes" as bitmaps of their own (bit t of lane
// c stands for offset anchor + lane_offset[c] + 60 t), so the small primes
// touch 16/60 of the bits the reference touches, and the 44 pattern offsets
// of every period are marked implicitly. The offsets before the anchor and
// after the last period (at most 60 each, plus bit N) live in two plain word
// arrays. When no class pattern applies (p not prime to 30, or a segment
// too short for a period), one plain array covers the whole segment.
#pragma once

#include <gmp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/bit_words.h"
#include "sieve/sieve_context.h"

inline constexpr int kLaneCount = 16;  // offsets per period the pattern leaves clear

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
  // For each twentieth of the segment, the last offset the plan's marks
  // leave clear (-1 when none), noted before the deeper marks; empty until
  // noted (the walk then reads the mask itself).
  std::vector<std::int64_t> plan_last;
  // The sieve's working state, kept with the mask between segments to spare
  // allocations (sieve_segment.cpp): the head marks (bits of offsets 0..60),
  // each plan prime's first multiple in the segment (-1: none), each deeper
  // prime's root (the offset in [0, q) whose candidate it divides), and for
  // each share of the work each prime's next mark in the lane it sieves.
  struct SieveWork {
    std::uint64_t head_bits = 0;
    std::vector<std::int32_t> first;
    std::vector<std::uint32_t> deep_root;
    std::vector<std::vector<std::int64_t>> next;
  };
  SieveWork work;
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

// The bits [t_lo, t_hi) of the lane based at offset base (offsets base +
// 60 t, t below periods) that hold offsets in [lo, hi).
inline std::pair<std::int64_t, std::int64_t> lane_bits(std::int64_t base, std::int64_t lo,
                                                       std::int64_t hi, std::int64_t periods) {
  // t with lo <= base + 60 t < hi
  const std::int64_t t_lo = lo <= base ? 0 : (lo - base + 59) / 60;
  const std::int64_t t_hi = hi <= base ? 0 : (hi - base + 59) / 60;
  return {t_lo, std::min(t_hi, periods)};
}

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
      const auto [t_lo, t_hi] = fast_mask_internal::lane_bits(base, lo, hi, mask.periods);
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
