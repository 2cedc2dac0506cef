// SPDX-License-Identifier: MIT
#include "sieve/fast_mask.h"

#include <cassert>

#include "sieve/candidate_mask.h"

namespace {

// The bits among 0..60 that the head marking sets, from the residues mod 8
// of the first two candidates.
std::uint64_t head_marks(unsigned t0, unsigned t1) {
  const HeadStart start = head_start(t0, t1);
  std::uint64_t marks = start.bit0_alone ? 1 : 0;
  for (int r = start.first_pair; r <= kPeriod - 1; r += 4) marks |= std::uint64_t{3} << r;
  return marks;
}

}  // namespace

FastLayout fast_layout(const FastSieveContext& ctx, mpz_srcptr k_first, std::int32_t n) {
  assert(n >= 0);
  FastLayout layout;
  // Residues mod 120 of the first candidate and of the step 2p.
  const std::uint64_t k_mod_60 = mpz_fdiv_ui(k_first, 60);
  const std::uint64_t d0 = (2 * (k_mod_60 * ctx.p_mod_60 % 60) + 1) % 120;
  const std::uint64_t step = 2 * ctx.p_mod_60 % 120;
  layout.head_bits = head_marks(static_cast<unsigned>(d0 % 8),
                                static_cast<unsigned>((d0 + step) % 8));

  // The anchor: the first candidate that is 1 mod 120. The residues repeat
  // with a period dividing 60, so 60 candidates tell whether there is one.
  layout.anchor = -1;
  for (std::int32_t j = 0; j < kPeriod; ++j) {
    if ((d0 + j * step) % 120 == 1) {
      layout.anchor = j;
      break;
    }
  }
  const int row = layout.anchor < 0 ? -1 : class_row(static_cast<unsigned>((1 + step) % 120));
  const std::int64_t bound = std::int64_t{n} - kPeriod;
  layout.periods = (row >= 0 && layout.anchor < bound)
                       ? (bound - layout.anchor + kPeriod - 1) / kPeriod
                       : 0;
  if (layout.periods == 0) {
    // One plain region over the whole segment.
    layout.head_end = std::max<std::int64_t>(std::int64_t{n} + 1, 61);
    layout.tail_start = layout.tail_end = layout.head_end;
    return layout;
  }
  // The 16 offsets of a period that the pattern leaves clear.
  const ClassPattern& pattern = class_pattern(row);
  std::size_t c = 0;
  for (std::int32_t off = 0; off < kPeriod; ++off) {
    if (std::find(pattern.begin(), pattern.end(), off) == pattern.end()) {
      layout.lane_offset[c++] = off;
    }
  }
  assert(c == kLaneCount);
  layout.head_end = layout.anchor;
  layout.tail_start = layout.anchor + kPeriod * layout.periods;
  layout.tail_end = std::int64_t{n} + 1;
  return layout;
}

std::int64_t fast_last_clear(const FastMask& mask, std::int64_t lo, std::int64_t hi) {
  if (hi > mask.n) hi = mask.n;
  if (lo < 0) lo = 0;
  if (lo >= hi) return -1;
  std::int64_t best = last_clear_bit(mask.head, lo, std::min(hi, mask.head_end));
  if (mask.periods > 0) {
    const std::int64_t from = std::max(lo, mask.tail_start);
    if (from < hi) {
      const std::int64_t t = last_clear_bit(mask.tail, from - mask.tail_start, hi - mask.tail_start);
      if (t >= 0) return mask.tail_start + t;  // beyond every lane offset
    }
    for (std::size_t c = 0; c < kLaneCount; ++c) {
      const std::int64_t base = mask.anchor + mask.lane_offset[c];
      const auto [t_lo, t_hi] = fast_mask_internal::lane_bits(base, lo, hi, mask.periods);
      const std::int64_t t = last_clear_bit(mask.lanes[c], t_lo, t_hi);
      if (t >= 0) best = std::max(best, base + kPeriod * t);
    }
  }
  return best;
}

bool fast_mask_test(const FastMask& mask, std::int64_t offset) {
  if (offset < mask.head_end) return bit_is_set(mask.head, offset);
  if (offset >= mask.tail_start) return bit_is_set(mask.tail, offset - mask.tail_start);
  const std::int64_t rel = offset - mask.anchor;
  const std::int64_t in_period = rel % kPeriod;
  for (std::size_t c = 0; c < kLaneCount; ++c) {
    if (mask.lane_offset[c] == in_period) return bit_is_set(mask.lanes[c], rel / kPeriod);
  }
  return true;  // a pattern offset
}

std::int64_t fast_count_marked(const FastMask& mask) {
  const std::int64_t n = mask.n;
  std::int64_t count = count_set_bits(mask.head, 0, std::min(mask.head_end, n));
  if (mask.periods > 0) {
    count += (kPeriod - kLaneCount) * mask.periods;
    for (const auto& lane : mask.lanes) count += count_set_bits(lane, 0, mask.periods);
    count += count_set_bits(mask.tail, 0, n - mask.tail_start);
  }
  return count;
}

std::vector<std::uint64_t> expand_fast_mask(const FastMask& mask) {
  const std::int64_t bits = std::max<std::int64_t>(std::int64_t{mask.n} + 1, 61);
  std::vector<std::uint64_t> words(static_cast<std::size_t>((bits + 63) / 64), 0);
  for (std::int64_t i = 0; i < bits; ++i) {
    if (i <= mask.n ? fast_mask_test(mask, i) : bit_is_set(mask.head, i)) set_bit(words, i);
  }
  return words;
}
