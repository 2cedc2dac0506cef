// SPDX-License-Identifier: MIT
#include "sieve/fast_mask.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "core/cpu_features.h"
#include "sieve/candidate_mask.h"

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

// v mod q for v >= 0: one hardware division when v fits a machine word.
// GMP's general routine works out an inverse of q on every call, which for
// the tens of thousands of primes of a segment's start costs more than the
// division (and far more under emulation).
inline std::uint64_t mod_small(mpz_srcptr v, std::uint64_t q) {
  return mpz_fits_ulong_p(v) ? mpz_get_ui(v) % q : mpz_fdiv_ui(v, q);
}

inline void set_bit(std::vector<std::uint64_t>& words, std::int64_t i) {
  words[static_cast<std::size_t>(i >> 6)] |= std::uint64_t{1} << (i & 63);
}

inline bool get_bit(const std::vector<std::uint64_t>& words, std::int64_t i) {
  return (words[static_cast<std::size_t>(i >> 6)] >> (i & 63)) & 1;
}

void reset(std::vector<std::uint64_t>& words, std::int64_t bits) {
  words.assign(static_cast<std::size_t>((bits + 63) / 64), 0);
}

// The bits among 0..60 that the head marking sets, from the residues mod 8
// of the first two candidates.
std::uint64_t head_marks(unsigned t0, unsigned t1) {
  const HeadStart start = head_start(t0, t1);
  std::uint64_t marks = start.bit0_alone ? 1 : 0;
  for (int r = start.first_pair; r <= kPeriod - 1; r += 4) marks |= std::uint64_t{3} << r;
  return marks;
}

// First multiple j of the primes [from, to) among the segment's
// candidates, or -1 when the prime marks nothing in this segment.
void first_multiples(const FastSieveContext& ctx, mpz_srcptr k_first, std::int32_t n,
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

// The part's share [from, to) of count items.
std::pair<std::size_t, std::size_t> share_of(std::size_t count, int part, int parts) {
  return {count * static_cast<std::size_t>(part) / static_cast<std::size_t>(parts),
          count * static_cast<std::size_t>(part + 1) / static_cast<std::size_t>(parts)};
}

// A plain region: offsets [lo, hi) held in words from bit 0, reset to its
// head marks and bit n.
void begin_plain(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t hi,
                 std::int32_t n, std::uint64_t head) {
  reset(words, hi - lo);
  for (std::int64_t b = lo; b < std::min<std::int64_t>(hi, 61); ++b) {
    if ((head >> b) & 1) set_bit(words, b - lo);
  }
  if (lo <= n && n < hi) set_bit(words, n - lo);
}

// The small-prime marks of a plain region held from offset lo, among the
// offsets [from, to) (below n). Two calls with word-aligned (from - lo)
// touch different words.
void mark_plain_primes(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                       std::int64_t to, std::int32_t n, const FastSieveContext& ctx,
                       const std::vector<std::int32_t>& first) {
  const std::int64_t end = std::min<std::int64_t>(to, n);
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first[i] < 0) continue;
    const std::int64_t q = ctx.primes[i];
    const std::int64_t j = first[i];
    std::int64_t pos = j + q;
    if (pos < from) pos += (from - pos + q - 1) / q * q;
    for (; pos < end; pos += q) set_bit(words, pos - lo);
  }
}

// Sets bits t, t + q, t + 2q, ... below end; returns the first t at or
// beyond it.
inline std::int64_t mark_stride(std::uint64_t* w, std::int64_t t, std::int64_t q,
                                std::int64_t end) {
  for (; t < end; t += q) w[t >> 6] |= std::uint64_t{1} << (t & 63);
  return t;
}

// Marks of one lane (offsets base + 60 t) among t in [t_from, t_to), with
// t_from a multiple of 64: the words from t_from / 64 up to the one that
// holds t_to - 1 are reset and marked, and no other word is written, so
// pieces of a lane cut at whole words can be marked side by side.
void mark_lane(std::vector<std::uint64_t>& words, std::int64_t base, std::int64_t t_from,
               std::int64_t t_to, std::uint64_t head, const FastSieveContext& ctx,
               const std::vector<std::int32_t>& first, std::vector<std::int64_t>& next) {
  assert(t_from % 64 == 0 && t_from < t_to);
  const std::int64_t word_begin = t_from >> 6;
  const std::int64_t words_end = (t_to + 63) >> 6;
  std::fill(words.begin() + word_begin, words.begin() + words_end, 0);
  for (std::int64_t t = t_from; t < t_to && base + 60 * t <= 60; ++t) {
    if ((head >> (base + 60 * t)) & 1) set_bit(words, t);
  }
  next.resize(first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    next[i] = t_to;  // nothing to mark
    if (first[i] < 0) continue;
    const std::int64_t q = ctx.primes[i];
    const std::int64_t j = first[i];
    // base + 60 t = j (mod q), and base + 60 t > j so that j itself stays clear.
    const std::int64_t diff = ((j - base) % q + q) % q;
    std::int64_t t = diff * ctx.inv_sixty[i] % q;
    const std::int64_t pos = base + 60 * t;
    if (pos <= j) t += ((j - pos) / (60 * q) + 1) * q;
    if (t < t_from) t += (t_from - t + q - 1) / q * q;  // the first mark of this piece
    next[i] = t;
  }
  // The pattern primes: from the word that holds their first mark on, a
  // whole word of marks at a time. Bits past t_to in the last word may be
  // set only when t_to is the lane's end (other pieces end at a whole
  // word); nothing reads them. Two primes that both mark this piece go
  // through their pair's pattern from the first word past both first
  // marks; before it, and for a prime whose partner marks nothing, each
  // prime takes its own.
  struct Cursor {
    std::int64_t word, end;      // words [word, end) take the pattern
    std::uint32_t s;             // shift of the next word
    std::uint32_t period;        // of the pattern
    std::uint32_t advance;       // 64 mod period
    const std::uint64_t* shift;  // the pattern's words, by shift
  };
  std::array<Cursor, 32> cursors{};
  std::size_t cursor_count = 0;
  const std::size_t patterned = std::min<std::size_t>(ctx.pattern_primes, 16);
  // Each pattern prime's own cursor, from the word after its first mark
  // (that word is marked here, from the mark on).
  std::array<std::int64_t, 16> own_end{};
  own_end.fill(words_end);
  for (const FastSieveContext::PatternPair& pair : ctx.pairs) {
    const std::int64_t t1 = next[pair.first], t2 = next[pair.second];
    if (t1 >= t_to || t2 >= t_to) continue;
    const std::int64_t w = std::min(std::max(t1 >> 6, t2 >> 6) + 1, words_end);
    own_end[pair.first] = own_end[pair.second] = w;
    if (w == words_end) continue;
    const auto q1 = static_cast<std::int64_t>(ctx.primes[pair.first]);
    const auto q2 = static_cast<std::int64_t>(ctx.primes[pair.second]);
    const std::int64_t r1 = (((w << 6) - t1) % q1 + q1) % q1;
    const std::int64_t r2 = (((w << 6) - t2) % q2 + q2) % q2;
    const std::int64_t s0 = r1 + q1 * (((r2 - r1) % q2 + q2) % q2 * pair.inv_first % q2);
    const std::size_t g = static_cast<std::size_t>(&pair - ctx.pairs.data());
    cursors[cursor_count++] = {w,          words_end,
                               static_cast<std::uint32_t>(s0), pair.period,
                               static_cast<std::uint32_t>(64 % pair.period),
                               ctx.pair_shifts[g].data()};
  }
  for (std::size_t i = 0; i < patterned; ++i) {
    const std::int64_t q = ctx.primes[i];
    const std::int64_t t = next[i];
    if (t >= t_to) continue;
    const std::int64_t w = t >> 6;
    const auto s0 = static_cast<std::uint32_t>((((w << 6) - t) % q + q) % q);
    words[static_cast<std::size_t>(w)] |= ctx.shifts[i][s0] & (~std::uint64_t{0} << (t & 63));
    cursors[cursor_count++] = {w + 1,
                               own_end[i],
                               static_cast<std::uint32_t>((s0 + 64) % q),
                               static_cast<std::uint32_t>(q),
                               static_cast<std::uint32_t>(64 % q),
                               ctx.shifts[i].data()};
    next[i] = t_to;  // done by pattern
  }
  // By cache level: the word patterns and the primes that mark a small
  // block several times go through small blocks (held by the L1 data
  // cache); the larger primes through the large blocks (held by the L2
  // cache) that the small ones make up.
  std::uint64_t* w = words.data();
  const std::size_t small_end = std::max(patterned, std::min(ctx.small_primes, next.size()));
  const std::int64_t small_bits = std::min(ctx.small_block_bits, ctx.block_bits);
  for (std::int64_t block = t_from; block < t_to; block += ctx.block_bits) {
    const std::int64_t block_end = std::min(t_to, block + ctx.block_bits);
    for (std::int64_t sub = block; sub < block_end; sub += small_bits) {
      const std::int64_t sub_end = std::min(block_end, sub + small_bits);
      const std::int64_t word_end = std::min(words_end, (sub_end + 63) >> 6);
      for (std::size_t c = 0; c < cursor_count; ++c) {
        Cursor& cursor = cursors[c];
        const std::uint32_t period = cursor.period, advance = cursor.advance;
        const std::uint64_t* shift = cursor.shift;
        std::uint32_t s = cursor.s;
        std::int64_t k = cursor.word;
        for (const std::int64_t end = std::min(word_end, cursor.end); k < end; ++k) {
          w[k] |= shift[s];
          s += advance;
          if (s >= period) s -= period;
        }
        cursor.word = k;
        cursor.s = s;
      }
      for (std::size_t i = patterned; i < small_end; ++i) {
        const std::int64_t q = ctx.primes[i];
        next[i] = mark_stride(w, next[i], q, sub_end);
      }
    }
    for (std::size_t i = small_end; i < next.size(); ++i) {
      const std::int64_t q = ctx.primes[i];
      next[i] = mark_stride(w, next[i], q, block_end);
    }
  }
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

// The deeper marks of a plain region held from offset lo, among the offsets
// [from, to) (below n): every offset congruent to a deeper prime's root.
void deep_mark_plain(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                     std::int64_t to, std::int32_t n, const FastSieveContext& ctx,
                     const std::vector<std::uint32_t>& roots) {
  const std::int64_t end = std::min<std::int64_t>(to, n);
  if (from >= end) return;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    const std::int64_t q = ctx.deep_primes[i];
    std::int64_t pos = roots[i];
    if (pos < from) pos += (from - pos + q - 1) / q * q;
    for (; pos < end; pos += q) set_bit(words, pos - lo);
  }
}

// The deeper marks of one lane (offsets base + 60 t) among t in
// [t_from, t_to): only bits below t_to are written, so pieces cut at whole
// words stay apart.
void deep_mark_lane(std::vector<std::uint64_t>& words, std::int64_t base, std::int64_t t_from,
                    std::int64_t t_to, const FastSieveContext& ctx,
                    const std::vector<std::uint32_t>& roots, std::vector<std::int64_t>& next) {
  next.resize(roots.size());
  for (std::size_t i = 0; i < roots.size(); ++i) {
    const std::int64_t q = ctx.deep_primes[i];
    // base + 60 t = root (mod q)
    const std::int64_t diff = ((std::int64_t{roots[i]} - base) % q + q) % q;
    std::int64_t t = diff * ctx.deep_inv_sixty[i] % q;
    if (t < t_from) t += (t_from - t + q - 1) / q * q;
    next[i] = t;
  }
  // Block by block as the plan's marks (the block size made no measurable
  // difference to these from 2^21 to 2^25 bits).
  std::uint64_t* w = words.data();
  for (std::int64_t block = t_from; block < t_to; block += ctx.block_bits) {
    const std::int64_t block_end = std::min(t_to, block + ctx.block_bits);
    for (std::size_t i = 0; i < roots.size(); ++i) {
      const std::int64_t q = ctx.deep_primes[i];
      next[i] = mark_stride(w, next[i], q, block_end);
    }
  }
}

// Calls mark(lane, t_from, t_to) for the pieces of the lanes that part
// `part` of `parts` owns: the lanes' bits laid end to end (bit t of lane c
// at c * periods + t), cut into pieces of nearly equal length, each cut
// moved down to a whole word of its lane so that no two parts write the
// same word.
template <typename Mark>
void for_each_piece(std::int64_t periods, int part, int parts, Mark&& mark) {
  const std::int64_t length = kLaneCount * periods;
  const auto cut = [&](int i) {
    if (i == parts) return length;
    const std::int64_t g = length * i / parts;
    return g / periods * periods + ((g % periods) & ~std::int64_t{63});
  };
  const std::int64_t from = cut(part), to = cut(part + 1);
  for (std::int64_t g = from; g < to;) {
    const std::int64_t lane = g / periods;
    const std::int64_t t_from = g - lane * periods;
    const std::int64_t t_to = std::min(periods, to - lane * periods);
    mark(static_cast<std::size_t>(lane), t_from, t_to);
    g = lane * periods + t_to;
  }
}

// The plain region of a segment without periods, cut at whole words: the
// part's share [from, to) of the offsets.
std::pair<std::int64_t, std::int64_t> plain_share(std::int64_t length, int part, int parts) {
  const auto cut = [&](int i) {
    return i == parts ? length : (length * i / parts) & ~std::int64_t{63};
  };
  return {cut(part), cut(part + 1)};
}

// Set bits [from, to) of words, from a whole word on (from a multiple of 64).
std::int64_t count_set_from(const std::vector<std::uint64_t>& words, std::int64_t from,
                            std::int64_t to) {
  const std::int64_t full = (to - from) >> 6;
  std::int64_t count = count_set_words(words.data() + (from >> 6), full);
  if ((to - from) & 63) {
    count += __builtin_popcountll(words[static_cast<std::size_t>((from >> 6) + full)] &
                                  (~std::uint64_t{0} >> (64 - ((to - from) & 63))));
  }
  return count;
}

std::int64_t count_set(const std::vector<std::uint64_t>& words, std::int64_t bits) {
  const std::int64_t full = bits >> 6;
  std::int64_t count = count_set_words(words.data(), full);
  if (bits & 63) {
    count += __builtin_popcountll(words[static_cast<std::size_t>(full)] &
                                  (~std::uint64_t{0} >> (64 - (bits & 63))));
  }
  return count;
}

}  // namespace

void set_small_prime_limit(FastSieveContext& ctx, std::uint32_t limit) {
  ctx.small_primes = static_cast<std::size_t>(
      std::lower_bound(ctx.primes.begin(), ctx.primes.end(), limit) - ctx.primes.begin());
}

void prepare_fast_sieve(FastSieveContext& ctx, const SmallPrimeTable& table,
                        std::int32_t prime_count, mpz_srcptr p, std::uint32_t deep_bound) {
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
  // The blocks from this CPU's caches: a small block of half the L1 data
  // cache, a large one of half the L2 (the rest for the primes' state and
  // the other data in use); the primes below a quarter of a small block
  // mark each one at least four times and go through the small blocks.
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

  // The deeper primes: from just above the plan's largest (5 when the plan
  // has none of its own) up to the bound, less those that divide M(p) or p.
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
    ctx.deep_primes.push_back(q);
    ctx.deep_p_mod.push_back(pm);
    ctx.deep_inv_two_p.push_back(inverse_mod(2 * std::uint64_t{pm}, q));
    ctx.deep_inv_sixty.push_back(inverse_mod(60, q));
  }
}

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

void begin_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n) {
  const FastLayout layout = fast_layout(ctx, k_first, n);
  mask.n = n;
  mask.head_bits = layout.head_bits;
  mask.anchor = layout.anchor;
  mask.periods = layout.periods;
  mask.lane_offset = layout.lane_offset;
  mask.head_end = layout.head_end;
  mask.tail_start = layout.tail_start;
  mask.tail_end = layout.tail_end;
  mask.plan_last.clear();
  mask.first.resize(ctx.primes.size());
  mask.deep_root.resize(ctx.deep_primes.size());
  begin_plain(mask.head, 0, mask.head_end, n, mask.head_bits);
  if (mask.periods == 0) {
    // One plain region over the whole segment; its primes are marked by the
    // parts.
    mask.tail.clear();
    for (auto& lane : mask.lanes) lane.clear();
    return;
  }
  begin_plain(mask.tail, mask.tail_start, mask.tail_end, n, mask.head_bits);
  // Room for the lanes; each part resets the words it marks.
  for (auto& lane : mask.lanes) lane.resize(static_cast<std::size_t>((mask.periods + 63) / 64));
}

void fast_mask_roots_part(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                          int part, int parts) {
  const auto [from, to] = share_of(ctx.primes.size(), part, parts);
  first_multiples(ctx, k_first, mask.n, from, to, mask.first);
  const auto [deep_from, deep_to] = share_of(ctx.deep_primes.size(), part, parts);
  for (std::size_t i = deep_from; i < deep_to; ++i) {
    const std::uint64_t q = ctx.deep_primes[i];
    const std::uint64_t d0 = (2 * mod_small(k_first, q) % q * ctx.deep_p_mod[i] + 1) % q;
    mask.deep_root[i] = static_cast<std::uint32_t>((q - d0) % q * ctx.deep_inv_two_p[i] % q);
  }
}

void finish_fast_mask_start(FastMask& mask, const FastSieveContext& ctx) {
  if (mask.periods == 0) return;
  // The plain head and tail hold at most 61 offsets each: marked here.
  mark_plain_primes(mask.head, 0, 0, mask.head_end, mask.n, ctx, mask.first);
  mark_plain_primes(mask.tail, mask.tail_start, mask.tail_start, mask.tail_end, mask.n, ctx,
                    mask.first);
}

void start_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n) {
  begin_fast_mask(mask, ctx, k_first, n);
  fast_mask_roots_part(mask, ctx, k_first, 0, 1);
  finish_fast_mask_start(mask, ctx);
}

std::int64_t mark_fast_mask_part(FastMask& mask, const FastSieveContext& ctx, int part,
                                 int parts, std::vector<std::int64_t>& next) {
  assert(0 <= part && part < parts);
  if (mask.periods == 0) {
    const auto [from, to] = plain_share(mask.head_end, part, parts);
    if (from >= to) return 0;
    mark_plain_primes(mask.head, 0, from, to, mask.n, ctx, mask.first);
    // The share's marks below n; its first word is its own (from is a
    // whole word), its last may be cut at n.
    const std::int64_t end = std::min<std::int64_t>(to, mask.n);
    if (from >= end) return 0;
    return count_set_from(mask.head, from, end);
  }
  std::int64_t marked = 0;
  for_each_piece(mask.periods, part, parts,
                 [&](std::size_t c, std::int64_t t_from, std::int64_t t_to) {
                   mark_lane(mask.lanes[c], mask.anchor + mask.lane_offset[c], t_from, t_to,
                             mask.head_bits, ctx, mask.first, next);
                   marked += count_set_from(mask.lanes[c], t_from, t_to);
                 });
  return marked;
}

std::int64_t fast_count_edges(const FastMask& mask) {
  if (mask.periods == 0) return 0;
  return count_set(mask.head, std::min<std::int64_t>(mask.head_end, mask.n)) +
         (kPeriod - kLaneCount) * mask.periods +
         count_set(mask.tail, std::int64_t{mask.n} - mask.tail_start);
}

void deepen_fast_mask_part(FastMask& mask, const FastSieveContext& ctx, int part, int parts,
                           std::vector<std::int64_t>& next) {
  assert(0 <= part && part < parts);
  if (mask.deep_root.empty()) return;
  if (mask.periods == 0) {
    const auto [from, to] = plain_share(mask.head_end, part, parts);
    if (from < to) deep_mark_plain(mask.head, 0, from, to, mask.n, ctx, mask.deep_root);
    return;
  }
  if (part == 0) {  // the plain head and tail, which no lane piece writes
    deep_mark_plain(mask.head, 0, 0, mask.head_end, mask.n, ctx, mask.deep_root);
    deep_mark_plain(mask.tail, mask.tail_start, mask.tail_start, mask.tail_end, mask.n, ctx,
                    mask.deep_root);
  }
  for_each_piece(mask.periods, part, parts,
                 [&](std::size_t c, std::int64_t t_from, std::int64_t t_to) {
                   deep_mark_lane(mask.lanes[c], mask.anchor + mask.lane_offset[c], t_from, t_to,
                                  ctx, mask.deep_root, next);
                 });
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
      const std::int64_t t_lo = lo <= base ? 0 : (lo - base + 59) / 60;
      std::int64_t t_hi = hi <= base ? 0 : (hi - base + 59) / 60;
      if (t_hi > mask.periods) t_hi = mask.periods;
      const std::int64_t t = last_clear_bit(mask.lanes[c], t_lo, t_hi);
      if (t >= 0) best = std::max(best, base + 60 * t);
    }
  }
  return best;
}

void build_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n) {
  start_fast_mask(mask, ctx, k_first, n);
  mark_fast_mask_part(mask, ctx, 0, 1, mask.next);
}

bool fast_mask_test(const FastMask& mask, std::int64_t offset) {
  if (offset < mask.head_end) return get_bit(mask.head, offset);
  if (offset >= mask.tail_start) return get_bit(mask.tail, offset - mask.tail_start);
  const std::int64_t rel = offset - mask.anchor;
  const std::int64_t in_period = rel % kPeriod;
  for (std::size_t c = 0; c < kLaneCount; ++c) {
    if (mask.lane_offset[c] == in_period) return get_bit(mask.lanes[c], rel / kPeriod);
  }
  return true;  // a pattern offset
}

std::int64_t fast_count_marked(const FastMask& mask) {
  const std::int64_t n = mask.n;
  std::int64_t count = count_set(mask.head, std::min(mask.head_end, n));
  if (mask.periods > 0) {
    count += (kPeriod - kLaneCount) * mask.periods;
    for (const auto& lane : mask.lanes) count += count_set(lane, mask.periods);
    count += count_set(mask.tail, n - mask.tail_start);
  }
  return count;
}

std::vector<std::uint64_t> expand_fast_mask(const FastMask& mask) {
  const std::int64_t bits = std::max<std::int64_t>(std::int64_t{mask.n} + 1, 61);
  std::vector<std::uint64_t> words(static_cast<std::size_t>((bits + 63) / 64), 0);
  for (std::int64_t i = 0; i < bits; ++i) {
    if (i <= mask.n ? fast_mask_test(mask, i) : get_bit(mask.head, i)) set_bit(words, i);
  }
  return words;
}
