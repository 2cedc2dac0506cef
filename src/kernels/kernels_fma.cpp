// SPDX-License-Identifier: MIT
// FMA kernels for x86-64 processors with AVX2 and FMA (those without AVX-512
// IFMA above all): 2^p mod d for four candidates per register, kGroups
// registers in flight, all arithmetic in double precision (fma); and the same
// with one-word Montgomery chains on the integer multiplier beside them, for
// d below 2^64 (fma64), so that both units work at once. Every number is
// an integer held in a double (times a power of two), each d as two 51-bit
// limbs d = d0 + d1 B with B = 2^51, and every product of two limbs is
// split exactly into a multiple of a unit u and a remainder:
//
//   hi = fma(a, b, C) - C,  lo = fma(a, b, -hi),
//
// where C = 1.5 * 2^52 u lies in the binade whose spacing is u. For
// |a b| < 2^51 u, a b + C stays inside that binade, so the first FMA rounds
// a b to the nearest multiple of u and the subtraction is exact; a b - hi is
// then a multiple of the product's own unit of magnitude at most u / 2,
// representable, so the second FMA is exact too. u is B times the unit of
// the product's column (B^2 / 2 for the cross product of the square, whose
// parts are then doubled), so hi belongs to the next column. Sums of such
// parts are exact as long as each column stays below 2^53 of its unit; an
// FMA whose exact result is known to be representable (a sum that Montgomery
// makes a multiple of B) is exact as well. Multiplications outside the FMAs
// are by powers of two, also exact.
//
// Montgomery arithmetic with R = B^2 = 2^102, digits balanced: a value x is
// x0 + x1 B with |x0| <= B/2 (x1 and x itself may be negative), ninv is
// -d^-1 mod B in (-B/2, B/2), and d0 in [0, B), d1 = floor(d / B).
//
//   Squaring, for |x| < 2d and d < 2^98 (so |x1| <= 2^48 and d1 < 2^47):
//   T = x^2 = x0^2 + 2 x0 x1 B + x1^2 B^2. Column 0 is the low part l00 of
//   x0^2 (|l00| <= B/2, high part h00 <= B/4); m0 = lo(l00 ninv), balanced,
//   so l00 + m0 d0 is a multiple of B below B^2/2 in magnitude, which one
//   FMA gives exactly. Column 1 sums h00, that carry (< B/2), lo(2 x0 x1)
//   and lo(m0 d1) (each <= B/2): below 1.75 B, so m1 = lo(c1 ninv) is a valid
//   split (|c1 ninv| < 0.875 B^2), and c1 + m1 d0 is again an exact multiple
//   of B. Column 2 sums that carry (<= B/2 + 2), hi(2 x0 x1) <= B/8 + 1,
//   hi(m0 d1) <= B/32 + 1, lo(x1^2) and lo(m1 d1) (<= B/2 each): below
//   1.7 B, doubled below 3.4 B < 2^53. Column 3 holds hi(x1^2) + hi(m1 d1)
//   < B/16. (When every d of a block is below 2^76, |x1| <= 2^26: x1^2 <=
//   2^52 joins column 2 whole, by an FMA, and column 2 stays below 3.2 B.)
//   Every product split is below B^2 in its column's unit:
//   x0^2 <= B^2/4, x0 x1 <= B^2/16, x1^2 <= B^2/64, m d1 < B^2/32,
//   l00 ninv <= B^2/4.
//   S = T + (m0 + m1 B) d is a multiple of R with |m0 + m1 B| <= (B^2 + B)/2,
//   so x' = S / R lies in [-d (1 + 1/B) / 2, x^2 / R + d (1 + 1/B) / 2].
//   Column 2 (times 1 or 2 when doubling) is split once more at B into a
//   balanced low limb and a carry into column 3, which become the limbs of
//   x' or 2x'. With |x| < 2d, |2x'| < 8 d^2 / R + d (1 + 1/B) < 2d as long as
//   8d < R (1 - 1/B), which every d < 2^98 meets: the invariant holds, and
//   neither step needs a comparison.
//   Scale: x is held as x0 2^-102 and x1 B 2^-102, d0 and d1 B unscaled, so
//   every product of the squaring lands at 2^-204 and S / R at 2^-102,
//   exactly where x' belongs.
//   Leaving Montgomery form: the same two rounds on T = x give r = S / R
//   with |r| <= 2d / R + d (1 + 1/B) / 2 < d, congruent to 2^p mod d: the
//   residue is r or r + d, and 2^p mod d is 1 exactly when r is 1 or 1 - d.
//   Start: 2^(102 + e0) mod d as q = round(2^(102+e0) / d) in double
//   precision and r = 2^(102+e0) - q d in limbs, then at most one shift by
//   up to 48 bits alike (start_fast, shift_fast), below d in magnitude; or,
//   for blocks with a d below 2^53, exact by pow2_mod.
//
// Hence the vector lanes are exact for every odd d with 3 <= d < 2^98, and
// fma64's chains (see OneWord) for every odd d < 2^64.
//
// The kernels need round-to-nearest (the default); they set it, with every
// exception masked, for the duration of a block should the caller's
// settings differ. Every function that touches AVX2 or FMA carries the
// target attribute; kernels.cpp calls in here only after checking the CPU
// and the OS.
#include "kernels/kernels.h"
#include "kernels/kernels_mont2x64.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#define FMA_TARGET __attribute__((target("avx2,fma")))
#define FMA_INLINE FMA_TARGET __attribute__((always_inline)) inline

namespace kernels_internal {
namespace {

constexpr std::uint64_t kB = std::uint64_t(1) << 51;
constexpr std::uint64_t kLimbMask = kB - 1;
constexpr int kGroups = static_cast<int>(kFmaLanes / 4);
static_assert(kFmaLanes % 4 == 0);
// The fma64 kernel: the same registers and 16 one-word chains.
constexpr int kFma64Chains = static_cast<int>(kFma64Lanes - kFmaLanes);
static_assert(kFma64Chains > 0);

// Split constants of the squaring (products at 2^-204): columns 0, 1 and 2,
// split at B, B^2 and B^3.
constexpr double kSplit0 = 0x1.8p-101;
constexpr double kSplit1 = 0x1.8p-50;
constexpr double kSplit2 = 0x1.8p1;
// The start works at 2^-102: columns 0 and 1, split at B and B^2.
constexpr double kStartSplit0 = 0x1.8p1;
constexpr double kStartSplit1 = 0x1.8p52;

// Smallest bit length of d for the vector start: its quotient must stay
// below 2^50 with a leading exponent of at least 1.
constexpr unsigned kFastStartBits = 54;

FMA_INLINE __m256d fma(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }
FMA_INLINE __m256d fms(__m256d a, __m256d b, __m256d c) { return _mm256_fmsub_pd(a, b, c); }
FMA_INLINE __m256d add(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
FMA_INLINE __m256d sub(__m256d a, __m256d b) { return _mm256_sub_pd(a, b); }
FMA_INLINE __m256d set1(double v) { return _mm256_set1_pd(v); }

// hi = a b rounded to the split's unit, lo = a b - hi (see the top).
FMA_INLINE void split(__m256d a, __m256d b, __m256d c, __m256d& hi, __m256d& lo) {
  hi = sub(fma(a, b, c), c);
  lo = fms(a, b, hi);
}

FMA_INLINE __m256d low(__m256d a, __m256d b, __m256d c) {
  return fms(a, b, sub(fma(a, b, c), c));
}

// x, an integer below 2^52 in every lane, times 2^k: placed in the
// significand of 2^(52+k), from which a subtraction takes it out exactly.
FMA_INLINE __m256d exact(__m256i x, double power) {
  const __m256d p = set1(power);
  return sub(_mm256_castsi256_pd(_mm256_or_si256(x, _mm256_castpd_si256(p))), p);
}

// The constants of the squaring. The 2 is hidden from the compiler once per
// block (opaque_constants): it would otherwise turn each multiply-add by 2
// into two additions, which compete with the sums for the adders. The split
// constants stay visible, so that they are read from memory as operands
// rather than held in registers.
struct Constants {
  __m256d two;
};

FMA_INLINE Constants opaque_constants() {
  Constants k{set1(2.0)};
  __asm__("" : "+x"(k.two));
  return k;
}

// One register's divisors: d0, d1 B and -d^-1 mod B, balanced.
struct Divisors {
  __m256d d0, d1, ninv;
};

// The divisors of four u128 values: the limbs (d0 < 2^51, d1 < 2^47) as
// exact doubles, and d^-1 mod B: 3 d xor 2 is right to 5 bits, and each
// Newton step x (2 - d x) doubles that (10, 20, 40, 80 >= 51), every product
// reduced modulo B by the low part of its split at B (|d0 x| and
// |x (2 - d0 x)| stay below B^2 for balanced x).
FMA_INLINE Divisors load_divisors(const u128* v) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 2));
  const __m256i lo = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xd8);
  const __m256i hi = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(a, b), 0xd8);
  const __m256i d0 = _mm256_and_si256(lo, _mm256_set1_epi64x(static_cast<long long>(kLimbMask)));
  const __m256i d1 = _mm256_or_si256(_mm256_srli_epi64(lo, 51), _mm256_slli_epi64(hi, 13));
  const __m256i seed = _mm256_and_si256(
      _mm256_xor_si256(_mm256_add_epi64(d0, _mm256_add_epi64(d0, d0)), _mm256_set1_epi64x(2)),
      _mm256_set1_epi64x(31));
  Divisors dv{exact(d0, 0x1p52), exact(d1, 0x1p103), exact(seed, 0x1p52)};
  const __m256d c = set1(kStartSplit1 * 0x1p51), two = set1(2.0);
  __m256d x = dv.ninv;
  for (int i = 0; i < 4; ++i) x = low(x, sub(two, low(dv.d0, x, c)), c);
  dv.ninv = sub(_mm256_setzero_pd(), x);
  return dv;
}

// x <- x^2 / R (or 2 x^2 / R when kDouble) for every register, one stage at
// a time across the registers, so that their independent chains interleave
// in the instruction stream and hide the FMA latency. The three products of
// the square come first, so that x0 and x1 die early. The cross product
// x0 x1 B is split at B^2 / 2 (low part within B^2 / 4), so that twice each
// part is the split of 2 x0 x1 B, added by a multiply-add.
//
// kSmall, for blocks whose every d is below 2^76: then |x1| <= 2^26, x1^2 is
// at most 2^52 and needs no split, and column 2 stays below 3.2 B < 2^53
// with it whole (column 3 then holds hi(m1 d1) alone).
template <bool kDouble, bool kSmall, int G, typename Between>
FMA_INLINE void square_step(__m256d* x0, __m256d* x1, const Divisors* dv,
                            const Constants& k, Between&& between) {
  const __m256d split0 = set1(kSplit0), split1 = set1(kSplit1),
                split1_half = set1(kSplit1 / 2), split2 = set1(kSplit2);
  __m256d lo[G], hi[G], m[G], col1[G], col2[G], col3[G];
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    split(x0[g], x1[g], split1_half, hi[g], lo[g]);
    if (kSmall) {
      col2[g] = fma(x1[g], x1[g], add(hi[g], hi[g]));
    } else {
      split(x1[g], x1[g], split2, col3[g], col2[g]);
      col2[g] = fma(hi[g], k.two, col2[g]);
    }
    split(x0[g], x0[g], split0, col1[g], hi[g]);
    col1[g] = fma(lo[g], k.two, col1[g]);
  }
  // Column 0 (in hi): m0 and the exact carry (l00 + m0 d0) into column 1.
  between(0);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) m[g] = low(hi[g], dv[g].ninv, split0);
  between(1);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) col1[g] = add(col1[g], fma(m[g], dv[g].d0, hi[g]));
  // m0 d1 B into columns 1 and 2.
  between(2);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    split(m[g], dv[g].d1, split1, hi[g], lo[g]);
    col1[g] = add(col1[g], lo[g]);
    col2[g] = add(col2[g], hi[g]);
  }
  // m1 B and the exact carry (c1 + m1 B d0) into column 2.
  between(3);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) m[g] = low(col1[g], dv[g].ninv, split1);
  between(4);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) col2[g] = add(col2[g], fma(m[g], dv[g].d0, col1[g]));
  // m1 d1 B^2 into columns 2 and 3.
  between(5);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    split(m[g], dv[g].d1, split2, hi[g], lo[g]);
    col2[g] = add(col2[g], lo[g]);
    col3[g] = kSmall ? hi[g] : add(col3[g], hi[g]);
  }
  // The new limbs: column 2 (doubled or not) split at B^3.
  between(6);
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    if (kDouble) {
      const __m256d q = sub(fma(col2[g], k.two, split2), split2);
      x0[g] = fms(col2[g], k.two, q);
      x1[g] = fma(col3[g], k.two, q);
    } else {
      const __m256d q = sub(add(col2[g], split2), split2);
      x0[g] = sub(col2[g], q);
      x1[g] = add(col3[g], q);
    }
  }
  between(7);
}

FMA_INLINE __m256d round_to_integer(__m256d x) {
  return _mm256_round_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}

// 2^K mod d for K = 102 + e, as limbs at 2^-102 with |x| < d, for d of at
// least kFastStartBits bits and 2^K / d < 2^50; inv gets the double 1 / d
// for shift_fast. With Q = 2^K / d, the double d0 + d1 B and its reciprocal
// each round once (relative error 2^-53), the scaling by 2^K is exact, so the
// estimate lies within Q 2^-52 (1 + 2^-52) < 1/4 + 2^-50 of Q and its
// rounding q within 3/4 + 2^-50: r = 2^K - q d lies in (-d, d). It is formed
// exactly in limbs: q d0 split at B (low part -x0, balanced), q d1 B split at
// B^2, and 2^K, a multiple of B^2; the column-2 remainder 2^K - hi(q d1 B),
// less hi(q d0) and lo(q d1 B), is x1 B. Every partial sum there is below
// 2^53 B in magnitude (|2^K - hi| <= d + q d0 + B^2/2 + B/2 < 2^52 B), so
// exact; q < 2^50 + 1 keeps q d0 and q d1 within their splits.
FMA_INLINE void start_fast(const Divisors& dv, double two_k, double two_e, __m256d& x0,
                           __m256d& x1, __m256d& inv) {
  const __m256d c0 = set1(kStartSplit0), c1 = set1(kStartSplit1);
  inv = _mm256_div_pd(set1(1.0), add(dv.d0, dv.d1));
  const __m256d q = _mm256_mul_pd(round_to_integer(_mm256_mul_pd(inv, set1(two_k))),
                                  set1(0x1p-102));
  const __m256d h0 = sub(fma(q, dv.d0, c0), c0);
  x0 = _mm256_fnmadd_pd(q, dv.d0, h0);
  __m256d h1, l1;
  split(q, dv.d1, c1, h1, l1);
  x1 = sub(sub(sub(set1(two_e), h1), h0), l1);
}

// x <- x 2^t mod d, |x| < d before and after, for t <= 48, the same way:
// y = x 2^t is exact, q = round(y / d) from the double y0 + y1 B and 1 / d
// (four roundings of 2^-53 on a quotient below 2^48: within 1/8 + 2^-40 of
// y / d), so r = y - q d lies in (-2d/3, 2d/3). y0 (at most 2^98) is split
// at B, q d0 at B and q d1 B at B^2; the low column, within B, is balanced
// once more. The columns above sum to r's high limb, every partial sum below
// B^2 = 2^51 B (|y1 - hi(q d1 B)| <= |r| + |y0| + q d0 + B^2/2 + B < 2^102),
// so exact.
FMA_INLINE void shift_fast(const Divisors& dv, __m256d inv, double two_t, __m256d& x0,
                           __m256d& x1) {
  const __m256d c0 = set1(kStartSplit0), c1 = set1(kStartSplit1);
  const __m256d scale = set1(two_t);
  const __m256d y0 = _mm256_mul_pd(x0, scale), y1 = _mm256_mul_pd(x1, scale);
  const __m256d q = _mm256_mul_pd(
      round_to_integer(_mm256_mul_pd(_mm256_mul_pd(add(y0, y1), inv), set1(0x1p102))),
      set1(0x1p-102));
  const __m256d hy = sub(add(y0, c0), c0);
  __m256d h0, l0, h1, l1;
  split(q, dv.d0, c0, h0, l0);
  split(q, dv.d1, c1, h1, l1);
  const __m256d r0 = sub(sub(y0, hy), l0);
  const __m256d r1 = sub(add(sub(y1, h1), sub(hy, h0)), l1);
  const __m256d carry = sub(add(r0, c0), c0);
  x0 = sub(r0, carry);
  x1 = add(r1, carry);
}

// x <- x / R mod d, r in (-d, d), as r0 + r1 with r0 an integer (the low
// column) and r1 a multiple of B (the high one): the two rounds of the
// squaring on T = x, at 2^-102 (the scale of x) rather than 2^-204, so that
// column 2 holds plain integers.
FMA_INLINE void leave_montgomery(__m256d x0, __m256d x1, const Divisors& dv, __m256d& r0,
                                 __m256d& r1) {
  const __m256d k0 = set1(kStartSplit0), k1 = set1(kStartSplit1),
                k2 = set1(kStartSplit1 * 0x1p51);
  const __m256d m0 = low(x0, dv.ninv, k0);
  __m256d hi, lo;
  split(m0, dv.d1, k1, hi, lo);
  const __m256d col1 = add(add(fma(m0, dv.d0, x0), x1), lo);
  const __m256d m1 = low(col1, dv.ninv, k1);
  __m256d hi2, lo2;
  split(m1, dv.d1, k2, hi2, lo2);
  r0 = add(add(fma(m1, dv.d0, col1), hi), lo2);
  r1 = hi2;
}

// Four flags, r = 1 mod d for r = r0 + r1 in (-d, d): r is 1 or 1 - d. A sum
// of doubles that are integers rounds to 1 only when it is exactly 1, and
// r0 + d0 and r1 + d1 B are exact (below 2^53 of their units).
FMA_INLINE int is_one(__m256d r0, __m256d r1, const Divisors& dv) {
  const __m256d one = set1(1.0);
  const __m256d plain = _mm256_cmp_pd(add(r0, r1), one, _CMP_EQ_OQ);
  const __m256d shifted = _mm256_cmp_pd(add(add(r0, dv.d0), add(r1, dv.d1)), one, _CMP_EQ_OQ);
  return _mm256_movemask_pd(_mm256_or_pd(plain, shifted));
}

// Sets round-to-nearest with every exception masked while alive, where the
// caller's settings differ.
class NearestRounding {
 public:
  NearestRounding() : saved_(_mm_getcsr()) {
    const unsigned wanted = (saved_ & ~0x6000u) | 0x1f80u;
    if (wanted != saved_) _mm_setcsr(wanted);
  }
  ~NearestRounding() {
    if (_mm_getcsr() != saved_) _mm_setcsr(saved_);
  }
  NearestRounding(const NearestRounding&) = delete;
  NearestRounding& operator=(const NearestRounding&) = delete;

 private:
  unsigned saved_;
};

// Scalar chains that run beside the vector lanes in the fma64 kernel, on
// the integer multiplier, between the stages of each squaring.
//
// One word (d below 2^64): Montgomery with R = 2^64 and
// dinv = d^-1 mod 2^64; m = lo(T) dinv makes m d agree with T = x^2 in the
// low word, so (T - m d) / 2^64 = hi(T) - hi(m d) lies in (-d, d) for x < d
// and one conditional addition gives it in [0, d); a doubling below d stays
// there by one conditional subtraction. Exact for every odd d < 2^64.
struct OneWord {
  std::uint64_t x, d, dinv;

  static std::uint64_t redc(std::uint64_t hi, std::uint64_t lo, std::uint64_t d,
                            std::uint64_t dinv) {
    const std::uint64_t m = lo * dinv;
    const auto mh = static_cast<std::uint64_t>((u128(m) * d) >> 64);
    return hi < mh ? hi - mh + d : hi - mh;
  }
  // x = 2^(64+e0) mod d, the Montgomery form of 2^e0.
  void start(unsigned e0, u128 v) {
    d = lo64(v);
    dinv = inverse64(d);
    x = e0 < 64 && (std::uint64_t(1) << e0) < d ? div_rem(std::uint64_t(1) << e0, 0, d)
                                                : lo64(pow2_mod(64 + e0, v));
  }
  template <bool kDouble>
  void step() {
    const u128 t = u128(x) * x;
    x = redc(hi64(t), lo64(t), d, dinv);
    if (kDouble) x = x >= d - x ? x - (d - x) : x + x;
  }
  u128 leave() const { return redc(0, x, d, dinv); }
};

// A stand-in for no chains at all.
struct NoChain {
  template <bool kDouble>
  void step() {}
};

// The squarings for the bits of p below bit `rest`, with the S chains
// stepped between the stages of each (two a stage for S = 16).
template <bool kSmall, int G, int S, typename Chain>
FMA_INLINE void exponent_steps(std::uint64_t p, unsigned rest, __m256d* x0, __m256d* x1,
                               const Divisors* dv, Chain* chains) {
  const Constants constants = opaque_constants();
  constexpr int kPerStage = (S + 7) / 8;
  for (unsigned i = rest; i-- > 0;) {
    if ((p >> i) & 1) {
      square_step<true, kSmall, G>(x0, x1, dv, constants, [chains](int stage) {
        for (int j = stage * kPerStage; j < (stage + 1) * kPerStage && j < S; ++j) {
          chains[j].template step<true>();
        }
      });
    } else {
      square_step<false, kSmall, G>(x0, x1, dv, constants, [chains](int stage) {
        for (int j = stage * kPerStage; j < (stage + 1) * kPerStage && j < S; ++j) {
          chains[j].template step<false>();
        }
      });
    }
  }
}

template <int G, int S, typename Chain>
FMA_INLINE void vector_steps(std::uint64_t p, unsigned rest, bool small, __m256d* x0,
                             __m256d* x1, const Divisors* dv, Chain* chains) {
  if (small) {
    exponent_steps<true, G, S>(p, rest, x0, x1, dv, chains);
  } else {
    exponent_steps<false, G, S>(p, rest, x0, x1, dv, chains);
  }
}

// Four flags, the low bits of the residue R (r, or r + d for a negative r)
// zero, scale being 2^-bits: R = r0 + (d0 when r < 0) modulo B = 2^51, a
// multiple of every 2^bits below it, and that integer (a sum exact in
// doubles) scaled by 2^-bits is whole exactly when its low bits are zero.
FMA_INLINE int low_bits_zero(__m256d r0, __m256d r1, const Divisors& dv, __m256d scale) {
  const __m256d negative = _mm256_cmp_pd(add(r0, r1), _mm256_setzero_pd(), _CMP_LT_OQ);
  const __m256d low = add(r0, _mm256_and_pd(negative, dv.d0));
  const __m256d t = _mm256_mul_pd(low, scale);
  return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_floor_pd(t), t, _CMP_EQ_OQ));
}

// One block of 4 G candidates in vector lanes and S in scalar chains.
template <int G, int S>
FMA_TARGET void fma_block(std::uint64_t p, const u128* d, u128* residue, std::uint8_t* divides,
                          std::uint64_t flag_mask) {
  NearestRounding nearest;
  u128 smallest = d[0], largest = d[0];
  for (int j = 1; j < 4 * G + S; ++j) {
    smallest = std::min(smallest, d[j]);
    largest = std::max(largest, d[j]);
  }
  Divisors dv[G];
  for (int g = 0; g < G; ++g) dv[g] = load_divisors(d + 4 * g);
  const unsigned bits = bit_length(smallest);
  const bool fast_start = bits >= kFastStartBits;
  // The vector start reaches 2^(102+e) mod d with 2^(102+e) / d < 2^50, so
  // e <= bits - 53 for d >= 2^(bits-1), and a shift of up to 48 bits more;
  // the exact one keeps 102 + e0 below 128, where pow2_mod divides twice
  // below 2^64.
  const ExponentSplit e = split_exponent(p, fast_start ? bits - 5 : 23);
  const unsigned k = 102 + static_cast<unsigned>(e.lead);
  __m256d x0[G], x1[G];
  if (fast_start) {
    const unsigned first = std::min<unsigned>(static_cast<unsigned>(e.lead), bits - 53);
    const unsigned shift = static_cast<unsigned>(e.lead) - first;
    const double two_k = std::ldexp(1.0, static_cast<int>(102 + first));
    const double two_e = std::ldexp(1.0, static_cast<int>(first));
    const double two_t = std::ldexp(1.0, static_cast<int>(shift));
    for (int g = 0; g < G; ++g) {
      __m256d inv;
      start_fast(dv[g], two_k, two_e, x0[g], x1[g], inv);
      if (shift > 0) shift_fast(dv[g], inv, two_t, x0[g], x1[g]);
    }
  } else {
    alignas(32) double limb0[4 * G], limb1[4 * G];
    for (int j = 0; j < 4 * G; ++j) {
      const u128 r = pow2_mod(k, d[j]);
      auto r0 = static_cast<std::int64_t>(lo64(r) & kLimbMask);
      auto r1 = static_cast<std::int64_t>(r >> 51);
      if (r0 > static_cast<std::int64_t>(kB / 2)) {
        r0 -= static_cast<std::int64_t>(kB);
        r1 += 1;
      }
      limb0[j] = static_cast<double>(r0) * 0x1p-102;
      limb1[j] = static_cast<double>(r1) * 0x1p-51;
    }
    for (int g = 0; g < G; ++g) {
      x0[g] = _mm256_load_pd(limb0 + 4 * g);
      x1[g] = _mm256_load_pd(limb1 + 4 * g);
    }
  }
  const bool small = largest >> 76 == 0;
  u128 scalar[S > 0 ? S : 1];
  if constexpr (S == 0) {
    vector_steps<G, 0>(p, e.rest, small, x0, x1, dv, static_cast<NoChain*>(nullptr));
  } else {
    OneWord chains[S];
    for (int j = 0; j < S; ++j) chains[j].start(static_cast<unsigned>(e.lead), d[4 * G + j]);
    vector_steps<G, S>(p, e.rest, small, x0, x1, dv, chains);
    for (int j = 0; j < S; ++j) scalar[j] = chains[j].leave();
  }
  for (int j = 0; j < S; ++j) {
    if (residue != nullptr) residue[4 * G + j] = scalar[j];
    if (divides != nullptr) {
      divides[4 * G + j] = verdict(static_cast<std::uint64_t>(scalar[j]), scalar[j] == 1, flag_mask);
    }
  }
  for (int g = 0; g < G; ++g) {
    __m256d r0, r1;
    leave_montgomery(x0[g], x1[g], dv[g], r0, r1);
    if (divides != nullptr) {
      const int ones = is_one(r0, r1, dv[g]);
      // The flags' bits (flag_mask = 2^bits - 1, bits at most 51 here).
      const int flagged =
          flag_mask == 0
              ? 0
              : low_bits_zero(r0, r1, dv[g], set1(std::ldexp(1.0, -__builtin_popcountll(flag_mask))));
      for (int j = 0; j < 4; ++j) {
        divides[4 * g + j] = static_cast<std::uint8_t>(((ones >> j) & 1) * kDivides |
                                                       ((flagged >> j) & 1) * kFlagged);
      }
    } else {
      alignas(32) double low[4], high[4];
      _mm256_store_pd(low, r0);
      _mm256_store_pd(high, _mm256_mul_pd(r1, set1(0x1p-51)));
      for (int j = 0; j < 4; ++j) {
        // Integers below 2^53 in magnitude; r, taken modulo 2^128, lies in
        // (-d, d), so its top bit tells its sign.
        const u128 r = static_cast<u128>(static_cast<std::int64_t>(low[j])) +
                       (static_cast<u128>(static_cast<std::int64_t>(high[j])) << 51);
        residue[4 * g + j] = (r >> 127) != 0 ? r + d[4 * g + j] : r;
      }
    }
  }
}

}  // namespace

void fma_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
               std::uint8_t* divides, std::uint64_t flag_mask) {
  run_in_blocks<kFmaLanes>(p, d, n, residue, divides, flag_mask, fma_block<kGroups, 0>);
}

void fma64_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                 std::uint8_t* divides, std::uint64_t flag_mask) {
  run_in_blocks<kFma64Lanes>(p, d, n, residue, divides, flag_mask,
                             fma_block<kGroups, kFma64Chains>);
}

}  // namespace kernels_internal

#endif  // __x86_64__
