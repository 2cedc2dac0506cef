// SPDX-License-Identifier: MIT
#include "sieve/sieve_segment.h"

#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

#include "core/bit_words.h"
#include "core/chunks.h"
#include "sieve/candidate_mask.h"
#include "sieve/deep_marks.h"
#include "sieve/pattern_marks.h"
#include "sieve/prime_marks.h"

namespace {

// A plain region: offsets [lo, hi) held in words from bit 0, reset to its
// head marks and bit n.
void begin_plain(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t hi,
                 std::int32_t n, std::uint64_t head) {
  words.assign(static_cast<std::size_t>((hi - lo + 63) / 64), 0);
  for (std::int64_t b = lo; b < std::min<std::int64_t>(hi, 61); ++b) {
    if ((head >> b) & 1) set_bit(words, b - lo);
  }
  if (lo <= n && n < hi) set_bit(words, n - lo);
}

// The segment laid out before any prime: the mask's regions, the plain
// head and tail with their residue marks and bit n, room for the lanes
// (each share resets the words it marks) and for the primes' first
// multiples and roots.
void lay_out(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first, std::int32_t n) {
  const FastLayout layout = fast_layout(ctx, k_first, n);
  mask.n = n;
  mask.anchor = layout.anchor;
  mask.periods = layout.periods;
  mask.lane_offset = layout.lane_offset;
  mask.head_end = layout.head_end;
  mask.tail_start = layout.tail_start;
  mask.tail_end = layout.tail_end;
  mask.plan_last.clear();
  mask.work.head_bits = layout.head_bits;
  mask.work.first.resize(ctx.primes.size());
  mask.work.deep_root.resize(ctx.deep_primes.size());
  begin_plain(mask.head, 0, mask.head_end, n, layout.head_bits);
  if (mask.periods == 0) {
    // One plain region over the whole segment, marked by the shares.
    mask.tail.clear();
    for (auto& lane : mask.lanes) lane.clear();
    return;
  }
  begin_plain(mask.tail, mask.tail_start, mask.tail_end, n, layout.head_bits);
  for (auto& lane : mask.lanes) lane.resize(static_cast<std::size_t>((mask.periods + 63) / 64));
}

// Calls mark(lane, t_from, t_to) for the pieces of the lanes that share
// `share` of `shares` owns: the lanes' bits laid end to end (bit t of lane
// c at c * periods + t), cut into pieces of nearly equal length, each cut
// moved down to a whole word of its lane so that no two shares write the
// same word.
template <typename Mark>
void for_each_piece(std::int64_t periods, int share, int shares, Mark&& mark) {
  const std::int64_t length = kLaneCount * periods;
  const auto cut = [&](int i) {
    if (i == shares) return length;
    const std::int64_t g = length * i / shares;
    return g / periods * periods + ((g % periods) & ~std::int64_t{63});
  };
  const std::int64_t from = cut(share), to = cut(share + 1);
  for (std::int64_t g = from; g < to;) {
    const std::int64_t lane = g / periods;
    const std::int64_t t_from = g - lane * periods;
    const std::int64_t t_to = std::min(periods, to - lane * periods);
    mark(static_cast<std::size_t>(lane), t_from, t_to);
    g = lane * periods + t_to;
  }
}

// The plain region of a segment without periods, cut at whole words: the
// share's part [from, to) of the offsets.
std::pair<std::int64_t, std::int64_t> plain_share(std::int64_t length, int share, int shares) {
  const auto cut = [&](int i) {
    return i == shares ? length : (length * i / shares) & ~std::int64_t{63};
  };
  return {cut(share), cut(share + 1)};
}

// The plan's marks of the piece [t_from, t_to) of a lane (offsets base +
// 60 t), t_from a multiple of 64: the words from t_from / 64 up to the one
// that holds t_to - 1 are reset and marked, and no other word is written.
// By cache level: the word patterns and the primes that mark a small block
// several times go through small blocks (held by the L1 data cache); the
// larger primes through the large blocks (held by the L2 cache) that the
// small ones make up.
void mark_lane_piece(std::vector<std::uint64_t>& words, std::int64_t base, std::int64_t t_from,
                     std::int64_t t_to, std::uint64_t head_bits, const FastSieveContext& ctx,
                     const std::vector<std::int32_t>& first, std::vector<std::int64_t>& next) {
  assert(t_from % 64 == 0 && t_from < t_to);
  const std::int64_t words_end = (t_to + 63) >> 6;
  std::fill(words.begin() + (t_from >> 6), words.begin() + words_end, 0);
  for (std::int64_t t = t_from; t < t_to && base + 60 * t <= 60; ++t) {
    if ((head_bits >> (base + 60 * t)) & 1) set_bit(words, t);
  }
  plan_lane_starts(base, t_from, t_to, ctx, first, next);
  std::uint64_t* w = words.data();
  LanePatterns patterns = start_lane_patterns(w, t_to, words_end, ctx, next);
  const std::size_t patterned = patterned_primes(ctx);
  const std::size_t small_end = std::max(patterned, std::min(ctx.small_primes, next.size()));
  const std::int64_t small_bits = std::min(ctx.small_block_bits, ctx.block_bits);
  for (std::int64_t block = t_from; block < t_to; block += ctx.block_bits) {
    const std::int64_t block_end = std::min(t_to, block + ctx.block_bits);
    for (std::int64_t sub = block; sub < block_end; sub += small_bits) {
      const std::int64_t sub_end = std::min(block_end, sub + small_bits);
      mark_lane_patterns(patterns, w, std::min(words_end, (sub_end + 63) >> 6));
      mark_strides(w, ctx.primes.data(), patterned, small_end, next.data(), sub_end);
    }
    mark_strides(w, ctx.primes.data(), small_end, next.size(), next.data(), block_end);
  }
}

// The plan's marks of one share; returns the marks it laid below n.
std::int64_t mark_share(FastMask& mask, const FastSieveContext& ctx, int share, int shares,
                        std::vector<std::int64_t>& next) {
  if (mask.periods == 0) {
    const auto [from, to] = plain_share(mask.head_end, share, shares);
    if (from >= to) return 0;
    mark_plain_plan(mask.head, 0, from, to, mask.n, ctx, mask.work.first);
    // The share's first word is its own (from is a whole word); its last
    // may be cut at n.
    return count_set_bits(mask.head, from, std::min<std::int64_t>(to, mask.n));
  }
  std::int64_t marked = 0;
  for_each_piece(mask.periods, share, shares,
                 [&](std::size_t c, std::int64_t t_from, std::int64_t t_to) {
                   mark_lane_piece(mask.lanes[c], mask.anchor + mask.lane_offset[c], t_from, t_to,
                                   mask.work.head_bits, ctx, mask.work.first, next);
                   marked += count_set_bits(mask.lanes[c], t_from, t_to);
                 });
  return marked;
}

// The deeper marks of one share: the same words as its plan's marks.
void deepen_share(FastMask& mask, const FastSieveContext& ctx, int share, int shares,
                  std::vector<std::int64_t>& next) {
  const std::vector<std::uint32_t>& roots = mask.work.deep_root;
  if (mask.periods == 0) {
    const auto [from, to] = plain_share(mask.head_end, share, shares);
    if (from < to) mark_plain_deep(mask.head, 0, from, to, mask.n, ctx, roots);
    return;
  }
  if (share == 0) {  // the plain head and tail, which no lane piece writes
    mark_plain_deep(mask.head, 0, 0, mask.head_end, mask.n, ctx, roots);
    mark_plain_deep(mask.tail, mask.tail_start, mask.tail_start, mask.tail_end, mask.n, ctx, roots);
  }
  for_each_piece(mask.periods, share, shares,
                 [&](std::size_t c, std::int64_t t_from, std::int64_t t_to) {
                   mark_deep_lane(mask.lanes[c], mask.anchor + mask.lane_offset[c], t_from, t_to,
                                  ctx, roots, next);
                 });
}

// The marks among offsets below n that no share counts: the plain head and
// tail, and the 44 pattern offsets of every period (none without periods).
std::int64_t count_edges(const FastMask& mask) {
  if (mask.periods == 0) return 0;
  return count_set_bits(mask.head, 0, std::min<std::int64_t>(mask.head_end, mask.n)) +
         (kPeriod - kLaneCount) * mask.periods +
         count_set_bits(mask.tail, 0, std::int64_t{mask.n} - mask.tail_start);
}

}  // namespace

std::int64_t sieve_segment_in_shares(FastMask& mask, const FastSieveContext& ctx,
                                     mpz_srcptr k_first, std::int32_t n, int shares,
                                     const ShareRunner& run) {
  assert(shares >= 1);
  FastMask::SieveWork& work = mask.work;
  work.next.resize(static_cast<std::size_t>(shares));
  lay_out(mask, ctx, k_first, n);
  // Each share finds its slice of the primes' first multiples and roots.
  run([&](int share) {
    const auto [from, to] =
        member_share(0, static_cast<std::int64_t>(ctx.primes.size()), share, shares);
    plan_first_multiples(ctx, k_first, n, static_cast<std::size_t>(from),
                         static_cast<std::size_t>(to), work.first);
    const auto [deep_from, deep_to] =
        member_share(0, static_cast<std::int64_t>(ctx.deep_primes.size()), share, shares);
    deep_roots(ctx, k_first, static_cast<std::size_t>(deep_from), static_cast<std::size_t>(deep_to),
               work.deep_root);
  });
  if (mask.periods > 0) {
    // The plain head and tail hold at most 61 offsets each: marked here.
    mark_plain_plan(mask.head, 0, 0, mask.head_end, n, ctx, work.first);
    mark_plain_plan(mask.tail, mask.tail_start, mask.tail_start, mask.tail_end, n, ctx, work.first);
  }
  // The lanes' pieces (or the one plain region's), each share its own words.
  std::vector<std::int64_t> counts(static_cast<std::size_t>(shares), 0);
  run([&](int share) {
    const auto s = static_cast<std::size_t>(share);
    counts[s] = mark_share(mask, ctx, share, shares, work.next[s]);
  });
  std::int64_t marked = count_edges(mask);
  for (const std::int64_t c : counts) marked += c;
  if (!ctx.deep_primes.empty()) {
    for (const auto& [from, to] : segment_chunks(n)) {
      mask.plan_last.push_back(fast_last_clear(mask, from, to));
    }
    run([&](int share) {
      deepen_share(mask, ctx, share, shares, work.next[static_cast<std::size_t>(share)]);
    });
  }
  return marked;
}

std::int64_t sieve_segment(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                           std::int32_t n, ThreadTeam& team) {
  return sieve_segment_in_shares(mask, ctx, k_first, n, team.size(),
                                 [&](const std::function<void(int)>& job) { team.run(job); });
}

void build_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n) {
  sieve_segment_in_shares(mask, ctx, k_first, n, 1,
                          [](const std::function<void(int)>& job) { job(0); });
}
