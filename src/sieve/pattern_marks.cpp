// SPDX-License-Identifier: MIT
#include "sieve/pattern_marks.h"

#include <algorithm>

namespace {

constexpr std::size_t kMostPatterned = 16;  // room for the primes below 64 (15 from 7 on)

// The shift s in [0, q) at which word w's bit 0 stands, for a prime whose
// marks fall on t, t + q, ...: (64 w - t) mod q.
std::int64_t shift_at(std::int64_t w, std::int64_t t, std::int64_t q) {
  return (((w << 6) - t) % q + q) % q;
}

}  // namespace

std::size_t patterned_primes(const FastSieveContext& ctx) {
  return std::min(ctx.pattern_primes, kMostPatterned);
}

LanePatterns start_lane_patterns(std::uint64_t* words, std::int64_t t_to, std::int64_t words_end,
                                 const FastSieveContext& ctx, std::vector<std::int64_t>& next) {
  LanePatterns patterns;
  const std::size_t patterned = patterned_primes(ctx);
  // Each pattern prime's own cursor, from the word after its first mark
  // (that word is marked here, from the mark on), up to where its pair's
  // cursor takes over.
  std::array<std::int64_t, kMostPatterned> own_end{};
  own_end.fill(words_end);
  for (const FastSieveContext::PatternPair& pair : ctx.pairs) {
    const std::int64_t t1 = next[pair.first], t2 = next[pair.second];
    if (t1 >= t_to || t2 >= t_to) continue;
    const std::int64_t w = std::min(std::max(t1 >> 6, t2 >> 6) + 1, words_end);
    own_end[pair.first] = own_end[pair.second] = w;
    if (w == words_end) continue;
    const auto q1 = static_cast<std::int64_t>(ctx.primes[pair.first]);
    const auto q2 = static_cast<std::int64_t>(ctx.primes[pair.second]);
    const std::int64_t r1 = shift_at(w, t1, q1);
    const std::int64_t r2 = shift_at(w, t2, q2);
    const std::int64_t s0 = r1 + q1 * (((r2 - r1) % q2 + q2) % q2 * pair.inv_first % q2);
    const auto g = static_cast<std::size_t>(&pair - ctx.pairs.data());
    patterns.cursors[patterns.count++] = {w,
                                          words_end,
                                          static_cast<std::uint32_t>(s0),
                                          pair.period,
                                          static_cast<std::uint32_t>(64 % pair.period),
                                          ctx.pair_shifts[g].data()};
  }
  for (std::size_t i = 0; i < patterned; ++i) {
    const std::int64_t q = ctx.primes[i];
    const std::int64_t t = next[i];
    if (t >= t_to) continue;
    const std::int64_t w = t >> 6;
    const auto s0 = static_cast<std::uint32_t>(shift_at(w, t, q));
    words[w] |= ctx.shifts[i][s0] & (~std::uint64_t{0} << (t & 63));
    patterns.cursors[patterns.count++] = {w + 1,
                                          own_end[i],
                                          static_cast<std::uint32_t>((s0 + 64) % q),
                                          static_cast<std::uint32_t>(q),
                                          static_cast<std::uint32_t>(64 % q),
                                          ctx.shifts[i].data()};
    next[i] = t_to;  // done by pattern
  }
  return patterns;
}

void mark_lane_patterns(LanePatterns& patterns, std::uint64_t* words, std::int64_t word_end) {
  for (std::size_t c = 0; c < patterns.count; ++c) {
    PatternCursor& cursor = patterns.cursors[c];
    const std::uint32_t period = cursor.period, advance = cursor.advance;
    const std::uint64_t* shift = cursor.shift;
    std::uint32_t s = cursor.s;
    std::int64_t k = cursor.word;
    for (const std::int64_t end = std::min(word_end, cursor.end); k < end; ++k) {
      words[k] |= shift[s];
      s += advance;
      if (s >= period) s -= period;
    }
    cursor.word = k;
    cursor.s = s;
  }
}
