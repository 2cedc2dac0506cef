// SPDX-License-Identifier: MIT
// AVX-512 IFMA kernel: 2^p mod d for eight candidates per register, several
// registers in flight, each d held as two 52-bit limbs d = d0 + d1 * 2^52.
//
// Montgomery arithmetic with R = 2^104 and values kept lazily in [0, 4d).
// A value x is the pair x0, x1 with x = (x0 mod 2^52) + x1 * 2^52: x1 is
// exact, x0 may carry anything above its low 52 bits (the multiplier reads
// only those), so a squaring leaves its low word unreduced.
//
//   Squaring: T = x^2 < 16 d^2 for x < 4d. With c0 = T mod 2^52, m0 =
//   c0 d0^-1 mod 2^52 and m1 in [0, 2^52) chosen to clear the next 52 bits,
//   the kernel forms S = T + d 2^52 - m0 d + m1 d 2^52, a multiple of R
//   congruent to T mod d, and returns S / R. Subtracting m0 d makes the
//   low word vanish exactly (lo(m0 d0) = c0), so no carry out of it has to
//   be found; adding d 2^52 keeps S positive: S >= d 2^52 - m0 d >= d, so
//   S / R >= 1. As 1 + m1 <= 2^52, S <= T + R d, so S / R < 16 d^2 / R + d,
//   which is below 2d as long as d < R / 16 = 2^100. A doubling then gives
//   a value below 4d again, ready for the next squaring, so neither step
//   ever needs a comparison.
//   Words: the 64-bit lanes hold signed words. Word 1 lies in
//   (-2^53, 3 2^52) before m1 and is a multiple of 2^52 in (-2^53, 2^54)
//   after it, so an arithmetic shift gives its carry exactly (-1 to 3);
//   word 2 lies in (-2^50, 2^55) and the high word below 2^50, all far
//   inside 64 bits. A negative word read by the multiplier gives the right
//   low 52 bits (two's complement), and an arithmetic shift splits it
//   exactly; the value S / R itself is positive, so its high limb is.
//   Leaving Montgomery form: (x + m d) / R < 4d / R + d, so at most d, and
//   never d itself since x is congruent to 2^p R, a unit mod d: the result
//   is the exact residue in [0, d).
//   Start: the Montgomery form of 2^e0 enters below 2d (see start_fast).
//   Limbs: x < 4d < 2^102, so the high limb is below 2^50 and twice it
//   still fits the 52 bits the multiplier reads, as does 2 d1 < 2^49.
//
// Hence the kernel is exact for every odd d with 3 <= d < 2^100.
//
// Every function that touches AVX-512 carries the target attribute, so the
// rest of the program runs on any x86-64; kernels.cpp calls in here only after
// checking the CPU and the OS.

#include "kernels/kernels.h"

// The whole kernel is x86-64 code; elsewhere this file is empty and the
// kernel reports itself unavailable.
#if defined(__x86_64__)

// GCC 12's AVX-512 headers fill unused merge operands with a self-initialised
// "undefined" vector, which its uninitialised-use analysis flags once the
// intrinsics are inlined; nothing in this file reads an uninitialised value.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#define IFMA_TARGET __attribute__((target("avx512f,avx512ifma,avx512vl,avx512bw,avx512dq")))
#define IFMA_INLINE IFMA_TARGET __attribute__((always_inline)) inline

namespace kernels_internal {
namespace {

constexpr std::uint64_t kMask52 = (std::uint64_t(1) << 52) - 1;
constexpr int kGroups = 8;  // registers of candidates in flight
constexpr int kLanes = 8 * kGroups;
static_assert(kLanes == kIfmaLanes);

// Smallest candidate size for the vector start below.
constexpr unsigned kFastStartBits = 58;

IFMA_INLINE __m512i lo52(__m512i a, __m512i b) {
  return _mm512_madd52lo_epu64(_mm512_setzero_si512(), a, b);
}

// -d^-1 mod 2^52 (it depends on d0 only). 3d xor 2 is d^-1 to 5 bits; each
// Newton step x(2 - dx) doubles the count: 10, 20, 40, 80 >= 52.
IFMA_INLINE __m512i neg_inverse52(__m512i d0) {
  const __m512i mask = _mm512_set1_epi64(kMask52);
  const __m512i two = _mm512_set1_epi64(2);
  __m512i x = _mm512_and_si512(
      _mm512_xor_si512(_mm512_add_epi64(d0, _mm512_add_epi64(d0, d0)), two), mask);
  for (int i = 0; i < 4; ++i) {
    const __m512i u = _mm512_and_si512(_mm512_sub_epi64(two, lo52(d0, x)), mask);
    x = lo52(x, u);
  }
  return _mm512_and_si512(_mm512_sub_epi64(_mm512_setzero_si512(), x), mask);
}

// Montgomery form of 2^e, i.e. 2^K mod d with K = 104 + e, as a value in
// [0, 2d), for d > 2^(K-51). The quotient x = 2^K / d is then below 2^51. It
// is estimated in double precision with every rounding directed downwards (d
// rounded up, the quotient rounded down, then truncated), so the estimate
// never exceeds q = floor(x); each of the two roundings loses less than
// 2^-52 of the value, together less than 2^-51 of x < 2^51, i.e. less than
// 1, so the truncated estimate is q or q - 1 (a value below 2^52, as the
// 52-bit multiplies need), and 2^K - estimate * d lies in [0, 2d). As
// K >= 104 that difference is just -estimate * d modulo 2^104.
IFMA_INLINE void start_fast(__m512i d0, __m512i d1, double two_k, __m512i& x0,
                            __m512i& x1) {
  const __m512i mask = _mm512_set1_epi64(kMask52);
  const __m512i zero = _mm512_setzero_si512();
  const __m512d low = _mm512_cvtepu64_pd(d0);  // exact: below 2^52
  const __m512d high =
      _mm512_mul_pd(_mm512_cvtepu64_pd(d1), _mm512_set1_pd(0x1p52));  // exact
  const __m512d dd =
      _mm512_add_round_pd(high, low, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
  const __m512d quot = _mm512_div_round_pd(_mm512_set1_pd(two_k), dd,
                                           _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i q = _mm512_cvttpd_epu64(quot);
  const __m512i p0 = lo52(q, d0);
  const __m512i p1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, q, d0), q, d1);
  // Negate p0 + p1 * 2^52 modulo 2^104; the arithmetic shift carries the
  // borrow (-1 when p0 > 0).
  const __m512i n0 = _mm512_sub_epi64(zero, p0);
  x0 = _mm512_and_si512(n0, mask);
  x1 = _mm512_and_si512(_mm512_add_epi64(_mm512_sub_epi64(zero, p1), _mm512_srai_epi64(n0, 52)),
                        mask);
}

// 2^K mod d for blocks whose every d is below 2^62, as an exact value in
// [0, d), in 64-bit lanes: from r = 2^s (below every d of the block; s < K),
// r <- r 2^t - q d for steps of t <= 48
// bits, with q = floor(r 2^t / d) < 2^48 estimated in double precision. The
// conversions of r and d, the reciprocal and the product round four times, a
// relative error below 2^-50.9, so the estimate is off by less than
// 2^48 2^-50.9 < 1/4 and its truncation is q - 1, q or q + 1: the new r lies
// in [-d, 2d), inside (-2^63, 2^63), so its value modulo 2^64 (a shift and a
// low product) is exact read as a signed number. One masked addition and one
// masked subtraction of d bring it into [0, d).
IFMA_INLINE __m512i join_small(__m512i d0, __m512i d1) {
  return _mm512_or_si512(d0, _mm512_slli_epi64(d1, 52));
}

IFMA_INLINE void start_small(__m512i d0, __m512i d1, unsigned s, unsigned k, __m512i& x0,
                             __m512i& x1) {
  const __m512i d = join_small(d0, d1);
  const __m512d inv = _mm512_div_pd(_mm512_set1_pd(1.0), _mm512_cvtepu64_pd(d));
  __m512i r = _mm512_set1_epi64(static_cast<long long>(std::uint64_t(1) << s));
  for (unsigned rem = k - s; rem > 0;) {
    const unsigned t = std::min(rem, 48u);
    rem -= t;
    const __m512d scaled = _mm512_mul_pd(_mm512_cvtepu64_pd(r),
                                         _mm512_set1_pd(std::ldexp(1.0, static_cast<int>(t))));
    const __m512i q = _mm512_cvttpd_epu64(_mm512_mul_pd(scaled, inv));
    __m512i v = _mm512_sub_epi64(_mm512_slli_epi64(r, t), _mm512_mullo_epi64(q, d));
    v = _mm512_mask_add_epi64(v, _mm512_cmplt_epi64_mask(v, _mm512_setzero_si512()), v, d);
    r = _mm512_mask_sub_epi64(v, _mm512_cmpge_epi64_mask(v, d), v, d);
  }
  x0 = _mm512_and_si512(r, _mm512_set1_epi64(kMask52));
  x1 = _mm512_srli_epi64(r, 52);
}

// What every squaring reads of one register of divisors: the limbs, twice
// the high limb (for the doubled products), -d1 modulo 2^64, and d0^-1 - 1
// and -d0^-1 modulo 2^52.
struct Divisors {
  __m512i d0, d1, d1x2, neg_d1, inv_less_one, neg_inv;
};

// x <- x^2 / R mod d (lazily, below 2d), then doubled if kDouble, with the
// sum S = x^2 + d 2^52 - m0 d + m1 d 2^52 of the top of the file. The bit of
// p is the same in every lane, so the caller branches on it once per step.
// On Intel the 512-bit adds and shifts take the two ports of the
// multiply-adds, so the step keeps them few: every sum of products is
// chained through the multiplier's accumulator, and each of the two carries
// is an arithmetic shift whose result starts the next chain. What remains
// outside the multiplier is x1 + x1, two subtractions, two shifts and, when
// doubling, one addition, beside 15 multiply-adds. The chains are long, but
// the kGroups registers in flight cover their latency.
template <bool kDouble>
IFMA_INLINE void square_step(__m512i& x0, __m512i& x1, const Divisors& c) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i h = _mm512_add_epi64(x1, x1);  // below 2^51
  // Word 0: m0 d0 = c0 modulo 2^52, so word 0 of S is exactly zero. m0
  // accumulates onto c0, which nothing else reads: c0 + c0 (d0^-1 - 1) is
  // c0 d0^-1 modulo 2^52, and no zeroed register has to be copied for it.
  const __m512i c0 = lo52(x0, x0);
  const __m512i m0 = _mm512_madd52lo_epu64(c0, c0, c.inv_less_one);
  // Word 1: d0 (from d 2^52) as the start, the square's terms, less the
  // terms of m0 d at 2^52; in (-2^53, 3 2^52).
  __m512i w1 = _mm512_madd52hi_epu64(c.d0, x0, x0);
  w1 = _mm512_madd52lo_epu64(w1, x0, h);
  __m512i p1 = _mm512_madd52hi_epu64(zero, m0, c.d0);
  p1 = _mm512_madd52lo_epu64(p1, m0, c.d1);
  w1 = _mm512_sub_epi64(w1, p1);
  // m1 from the low 52 bits of word 1 (exact in two's complement); adding
  // lo(m1 d0) leaves a signed multiple of 2^52 in (-2^53, 2^54).
  const __m512i m1 = lo52(w1, c.neg_inv);
  w1 = _mm512_madd52lo_epu64(w1, m1, c.d0);
  // Word 2 apart from x1^2 and m1 d1: the carry of word 1, the high halves
  // of m1 d0 and of the cross term, plus d1 (from d 2^52) less hi(m0 d1);
  // u = hi(m0 d1) - d1 is a chain started from -d1, and g - u adds both.
  const __m512i u = _mm512_madd52hi_epu64(c.neg_d1, m0, c.d1);
  __m512i g = _mm512_srai_epi64(w1, 52);
  g = _mm512_madd52hi_epu64(g, m1, c.d0);
  g = _mm512_madd52hi_epu64(g, x0, h);
  g = _mm512_sub_epi64(g, u);
  // S / R = g + x1^2 + m1 d1, split at 2^52, the low word's carry starting
  // the high chain. When doubling, 2 S / R = 2g + x1 (2 x1) + m1 (2 d1): the
  // two products come out doubled at no cost, and only g needs an addition.
  __m512i w2, w3;
  if (kDouble) {
    w2 = _mm512_add_epi64(g, g);
    w2 = _mm512_madd52lo_epu64(w2, x1, h);
    w2 = _mm512_madd52lo_epu64(w2, m1, c.d1x2);
    w3 = _mm512_srai_epi64(w2, 52);
    w3 = _mm512_madd52hi_epu64(w3, x1, h);
    w3 = _mm512_madd52hi_epu64(w3, m1, c.d1x2);
  } else {
    w2 = _mm512_madd52lo_epu64(g, x1, x1);
    w2 = _mm512_madd52lo_epu64(w2, m1, c.d1);
    w3 = _mm512_srai_epi64(w2, 52);
    w3 = _mm512_madd52hi_epu64(w3, x1, x1);
    w3 = _mm512_madd52hi_epu64(w3, m1, c.d1);
  }
  // The low limb stays unreduced: the multiplier reads only its low 52 bits.
  x0 = w2;
  x1 = w3;
}

// x <- x / R mod d, exact in [0, d) (see the top of the file). The low limb
// arrives unreduced from square_step; here it is also an accumulator, so its
// low 52 bits are taken first.
IFMA_INLINE void leave_montgomery(__m512i& x0, __m512i& x1, __m512i d0, __m512i d1,
                                  __m512i dinv) {
  const __m512i zero = _mm512_setzero_si512();
  x0 = _mm512_and_si512(x0, _mm512_set1_epi64(kMask52));
  const __m512i m0 = lo52(x0, dinv);
  const __m512i t0 = _mm512_madd52lo_epu64(x0, m0, d0);
  __m512i c1 = _mm512_add_epi64(x1, _mm512_srli_epi64(t0, 52));
  c1 = _mm512_madd52hi_epu64(c1, m0, d0);
  c1 = _mm512_madd52lo_epu64(c1, m0, d1);
  __m512i c2 = _mm512_madd52hi_epu64(zero, m0, d1);
  const __m512i m1 = lo52(c1, dinv);
  const __m512i t1 = _mm512_madd52lo_epu64(c1, m1, d0);
  c2 = _mm512_add_epi64(c2, _mm512_srli_epi64(t1, 52));
  c2 = _mm512_madd52hi_epu64(c2, m1, d0);
  c2 = _mm512_madd52lo_epu64(c2, m1, d1);
  const __m512i c3 = _mm512_madd52hi_epu64(zero, m1, d1);
  x0 = _mm512_and_si512(c2, _mm512_set1_epi64(kMask52));
  x1 = _mm512_add_epi64(c3, _mm512_srli_epi64(c2, 52));
}

// Eight u128 values (two registers, low and high words interleaved) to and
// from their 52-bit limbs.
IFMA_INLINE void split_limbs(const u128* v, __m512i& l0, __m512i& l1) {
  const __m512i a = _mm512_loadu_si512(v);
  const __m512i b = _mm512_loadu_si512(v + 4);
  const __m512i lo = _mm512_permutex2var_epi64(a, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), b);
  const __m512i hi = _mm512_permutex2var_epi64(a, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), b);
  l0 = _mm512_and_si512(lo, _mm512_set1_epi64(kMask52));
  l1 = _mm512_or_si512(_mm512_srli_epi64(lo, 52), _mm512_slli_epi64(hi, 12));
}

IFMA_INLINE void join_limbs(__m512i l0, __m512i l1, u128* v) {
  const __m512i lo = _mm512_or_si512(l0, _mm512_slli_epi64(l1, 52));
  const __m512i hi = _mm512_srli_epi64(l1, 12);
  _mm512_storeu_si512(v, _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11), hi));
  _mm512_storeu_si512(v + 4, _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15), hi));
}

// One block of kLanes candidates.
IFMA_TARGET void ifma_block(std::uint64_t p, const u128* d, u128* residue, std::uint8_t* divides,
                            std::uint64_t flag_mask) {
  __m512i d0[kGroups], d1[kGroups], dinv[kGroups], x0[kGroups], x1[kGroups];
  Divisors divisors[kGroups];
  __m512i high_min = _mm512_set1_epi64(-1), high_max = _mm512_setzero_si512();
  for (int g = 0; g < kGroups; ++g) {
    split_limbs(d + 8 * g, d0[g], d1[g]);
    high_min = _mm512_min_epu64(high_min, d1[g]);
    high_max = _mm512_max_epu64(high_max, d1[g]);
    dinv[g] = neg_inverse52(d0[g]);
    divisors[g] = {d0[g],
                   d1[g],
                   _mm512_add_epi64(d1[g], d1[g]),
                   _mm512_sub_epi64(_mm512_setzero_si512(), d1[g]),
                   // -dinv - 1 = d0^-1 - 1 modulo 2^52
                   _mm512_and_si512(_mm512_sub_epi64(_mm512_set1_epi64(-1), dinv[g]),
                                    _mm512_set1_epi64(kMask52)),
                   dinv[g]};
  }
  // The vector start needs every d of at least kFastStartBits bits, i.e. a
  // high limb of at least 2^(kFastStartBits-53); then it allows a leading
  // exponent up to bits - 55 for the smallest d (of bits bits, so at least
  // 2^(bits-1): 2^(104+e0) / d < 2^51).
  const std::uint64_t smallest_high = _mm512_reduce_min_epu64(high_min);
  const bool fast_start = smallest_high >> (kFastStartBits - 53) != 0;
  const unsigned bits = 52 + bit_length(smallest_high);
  // Otherwise, when every d is below 2^62 (a high limb below 2^10), the
  // start climbs in 64-bit lanes from 2^s, s + 1 the bit length of the
  // smallest d: two steps with e0 up to s - 8, three for the smallest d (then
  // e0 up to 23, 104 + e0 < 128). A block that mixes both sizes starts by
  // pow2_mod, lane by lane, which for d < 2^64 takes two hardware divisions.
  const bool small_start = !fast_start && _mm512_reduce_max_epu64(high_max) >> 10 == 0;
  unsigned s = 0;
  if (small_start) {
    __m512i low_min = _mm512_set1_epi64(-1);
    for (int g = 0; g < kGroups; ++g) low_min = _mm512_min_epu64(low_min, join_small(d0[g], d1[g]));
    s = bit_length(_mm512_reduce_min_epu64(low_min)) - 1;
  }
  const std::uint64_t cap = fast_start ? bits - 55 : small_start && s >= 31 ? s - 8 : 23;
  const ExponentSplit e = split_exponent(p, cap);
  const unsigned k = 104 + static_cast<unsigned>(e.lead);
  if (fast_start) {
    const double two_k = std::ldexp(1.0, static_cast<int>(k));
    for (int g = 0; g < kGroups; ++g) start_fast(d0[g], d1[g], two_k, x0[g], x1[g]);
  } else if (small_start) {
    for (int g = 0; g < kGroups; ++g) start_small(d0[g], d1[g], s, k, x0[g], x1[g]);
  } else {
    alignas(64) u128 start[kLanes];
    for (int j = 0; j < kLanes; ++j) start[j] = pow2_mod(k, d[j]);
    for (int g = 0; g < kGroups; ++g) split_limbs(start + 8 * g, x0[g], x1[g]);
  }
  for (unsigned i = e.rest; i-- > 0;) {
    if ((p >> i) & 1) {
#pragma GCC unroll 8
      for (int g = 0; g < kGroups; ++g) square_step<true>(x0[g], x1[g], divisors[g]);
    } else {
#pragma GCC unroll 8
      for (int g = 0; g < kGroups; ++g) square_step<false>(x0[g], x1[g], divisors[g]);
    }
  }
  for (int g = 0; g < kGroups; ++g) {
    leave_montgomery(x0[g], x1[g], d0[g], d1[g], dinv[g]);
    if (residue != nullptr) join_limbs(x0[g], x1[g], residue + 8 * g);
    if (divides != nullptr) {
      // The residue is exact and normalised: it is 1 when its limbs are 1,
      // 0; it is flagged when the low limb (52 bits) has the flag's bits
      // clear.
      const __mmask8 one = _mm512_cmpeq_epi64_mask(x0[g], _mm512_set1_epi64(1)) &
                           _mm512_cmpeq_epi64_mask(x1[g], _mm512_setzero_si512());
      const __mmask8 flagged =
          flag_mask == 0 ? 0
                         : _mm512_testn_epi64_mask(
                               x0[g], _mm512_set1_epi64(static_cast<long long>(flag_mask)));
      const __m512i bits = _mm512_or_si512(_mm512_maskz_set1_epi64(one, kDivides),
                                           _mm512_maskz_set1_epi64(flagged, kFlagged));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(divides + 8 * g), _mm512_cvtepi64_epi8(bits));
    }
  }
}

}  // namespace

void ifma_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
               std::uint8_t* divides, std::uint64_t flag_mask) {
  run_in_blocks<kLanes>(p, d, n, residue, divides, flag_mask, ifma_block);
}

}  // namespace kernels_internal

#endif  // __x86_64__
