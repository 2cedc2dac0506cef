/* SPDX-License-Identifier: MIT */
/* Exact 2^p mod d on N limbs of 32 bits, in plain C: the arithmetic of the
 * OpenCL kernels (kernels.cl), written without any OpenCL-only construct so
 * that a C or C++ compiler (the tests, a CUDA host) builds the same text.
 *
 * This file is included once per width: define MONT32_N (3 or 4) first; the
 * names carry the width (mont3_powm2, mont4_powm2, ...). The includer also
 * defines mont32_u32 and mont32_u64 (unsigned 32- and 64-bit integers),
 * MONT32_FN (the qualifiers of a helper function, e.g. "static inline"),
 * MONT32_UNROLL (a pragma asking to unroll the loop that follows, or
 * nothing) and mont32_clz(x) (the leading zero bits of a 32-bit x != 0).
 * Numbers are arrays of N limbs, least significant first; every loop runs a
 * fixed number of times, so that unrolled they index registers only.
 *
 * Montgomery arithmetic with W = 2^32, R = W^N, values kept lazily in
 * [0, 4d), for odd d with 3 <= d < R / 16 (d below 2^92 on three limbs,
 * below 2^124 on four):
 *
 *   Squaring (word by word, the reduction interleaved): after i + 1 rounds
 *   the running value is (x (x mod W^(i+1)) + M d) / W^(i+1) with M below
 *   W^(i+1), so below x + d < 5d; within a round it stays below 5d W < R W,
 *   so N + 1 limbs hold it and no carry leaves them. Each product plus two
 *   words fits 64 bits ((W-1)^2 + 2(W-1) = W^2 - 1). The result
 *   (x^2 + M d) / R is below 16 d^2 / R + d < 2d.
 *   Doubling: below 4d again, under R: a shift, with no comparison; so the
 *   exponent's bits need neither a comparison nor a branch on the data.
 *   Leaving Montgomery form: (x + M d) / R < 4d / R + d, so at most d, and
 *   never d itself, since x is congruent to 2^p R, a unit mod d: the result
 *   is the exact residue 2^p mod d in [0, d).
 *   Start: the Montgomery form of 2^lead, that is 2^(lead + 32 N) mod d, is
 *   reached from 2^(b-1) < d (b the bit length of d) in steps of at most 16
 *   bits, r <- r 2^t - q' d, with q' one less than the truncation of a
 *   single-precision estimate of r 2^t / d (never below 0). Both numbers
 *   enter as sums of their limbs scaled by powers of two (no limb dropped),
 *   each with a relative error of at most (2N - 1) 2^-24; the reciprocal
 *   errs by at most 2.5 units in the last place (what OpenCL allows; a
 *   correctly rounded division errs by half of one), the product by one
 *   more rounding: under 20 * 2^-24 < 2^-19.6 in all. For r < 3d the
 *   quotient r 2^t / d is below 3 * 2^16, so the estimate errs by less than
 *   1/4, its truncation is q - 1, q or q + 1 for the exact q = floor(r 2^t /
 *   d), and q' is q - 2, q - 1 or q (or 0, when the truncation is 0 and q is
 *   at most 1). The new r is thus in [0, 3d): exact, with no correction.
 *
 * Hence mont<N>_powm2 is exact for every odd d with 3 <= d < 2^(32N - 4)
 * and every exponent 1 <= p < 2^64.
 */

#define MONT32_CAT2(a, b, c) a##b##c
#define MONT32_CAT(a, b, c) MONT32_CAT2(a, b, c)
#define MONT32_NAME(f) MONT32_CAT(mont, MONT32_N, _##f)

/* -d^-1 mod 2^32 for odd d0: (3 d0) ^ 2 is an inverse to 5 bits, and each
 * Newton step doubles the bits. */
MONT32_FN mont32_u32 MONT32_NAME(neg_inverse)(mont32_u32 d0) {
  mont32_u32 x = (3u * d0) ^ 2u;
  x *= 2u - d0 * x;
  x *= 2u - d0 * x;
  x *= 2u - d0 * x;
  return 0u - x;
}

MONT32_FN unsigned MONT32_NAME(bit_length)(const mont32_u32 *x) {
  unsigned bits = 0;
  MONT32_UNROLL
  for (int i = 0; i < MONT32_N; ++i) {
    if (x[i] != 0u) bits = 32u * (unsigned)(i + 1) - (unsigned)mont32_clz(x[i]);
  }
  return bits;
}

/* x <- x^2 / R mod d, lazily: x < 4d in, x < 2d out. */
MONT32_FN void MONT32_NAME(square)(mont32_u32 *x, const mont32_u32 *d, mont32_u32 ninv) {
  mont32_u32 t[MONT32_N + 1];
  MONT32_UNROLL
  for (int j = 0; j <= MONT32_N; ++j) t[j] = 0u;
  MONT32_UNROLL
  for (int i = 0; i < MONT32_N; ++i) {
    mont32_u64 c = 0;
    MONT32_UNROLL
    for (int j = 0; j < MONT32_N; ++j) {
      c = (mont32_u64)x[j] * x[i] + t[j] + (c >> 32);
      t[j] = (mont32_u32)c;
    }
    t[MONT32_N] = (mont32_u32)(c >> 32);
    /* m d cancels the lowest word; the whole moves down one word. */
    const mont32_u32 m = t[0] * ninv;
    c = (mont32_u64)m * d[0] + t[0];
    MONT32_UNROLL
    for (int j = 1; j < MONT32_N; ++j) {
      c = (mont32_u64)m * d[j] + t[j] + (c >> 32);
      t[j - 1] = (mont32_u32)c;
    }
    c = (mont32_u64)t[MONT32_N] + (c >> 32);
    t[MONT32_N - 1] = (mont32_u32)c;
  }
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) x[j] = t[j];
}

/* x <- 2x: below 2d in, below 4d out. */
MONT32_FN void MONT32_NAME(twice)(mont32_u32 *x) {
  MONT32_UNROLL
  for (int j = MONT32_N - 1; j > 0; --j) x[j] = (x[j] << 1) | (x[j - 1] >> 31);
  x[0] <<= 1;
}

/* x <- x / R mod d, exactly in [0, d), for x < 4d. */
MONT32_FN void MONT32_NAME(leave)(mont32_u32 *x, const mont32_u32 *d, mont32_u32 ninv) {
  MONT32_UNROLL
  for (int i = 0; i < MONT32_N; ++i) {
    const mont32_u32 m = x[0] * ninv;
    mont32_u64 c = (mont32_u64)m * d[0] + x[0];
    MONT32_UNROLL
    for (int j = 1; j < MONT32_N; ++j) {
      c = (mont32_u64)m * d[j] + x[j] + (c >> 32);
      x[j - 1] = (mont32_u32)c;
    }
    x[MONT32_N - 1] = (mont32_u32)(c >> 32);
  }
}

/* x as a float, scaled by 2^(-32 (N - 1)): the sum of the limbs from the
 * lowest up, all of them non-negative. */
MONT32_FN float MONT32_NAME(scaled)(const mont32_u32 *x) {
  float f = (float)x[0];
  MONT32_UNROLL
  for (int j = 1; j < MONT32_N; ++j) f = f * 2.3283064365386963e-10f + (float)x[j];
  return f;
}

/* r <- a value congruent to 2^e mod d and below 3d, for e >= b - 1 where b
 * is the bit length of d (see the start above). */
MONT32_FN void MONT32_NAME(pow2_start)(mont32_u32 *r, const mont32_u32 *d, unsigned e) {
  const unsigned b = MONT32_NAME(bit_length)(d);
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) r[j] = (unsigned)j == (b - 1u) / 32u ? 1u << ((b - 1u) % 32u) : 0u;
  const float inv = 1.0f / MONT32_NAME(scaled)(d);
  for (unsigned rem = e - (b - 1u); rem > 0u;) {
    const unsigned t = rem < 16u ? rem : 16u;
    rem -= t;
    const float estimate = MONT32_NAME(scaled)(r) * inv * (float)(1u << t);
    mont32_u32 q = (mont32_u32)estimate;
    q = q > 0u ? q - 1u : 0u;
    /* r 2^t - q d, limb by limb; the difference is below 3d < R, so the
     * borrow out of the top limb is spent on the bits shifted out. */
    mont32_u32 low = 0u;                /* the bits that move up a limb */
    mont32_u64 product = 0, borrow = 0; /* carry of q d; borrow of the difference */
    MONT32_UNROLL
    for (int j = 0; j < MONT32_N; ++j) {
      const mont32_u32 shifted = (r[j] << t) | low;
      low = r[j] >> (32u - t); /* 1 <= t <= 16 */
      product = (mont32_u64)q * d[j] + (product >> 32);
      const mont32_u64 diff = (mont32_u64)shifted - (mont32_u32)product - borrow;
      r[j] = (mont32_u32)diff;
      borrow = (diff >> 32) & 1u;
    }
  }
}

/* out <- 2^p mod d, for p = lead 2^rest + (the low rest bits of p), lead >= 1. */
MONT32_FN void MONT32_NAME(powm2)(mont32_u32 *out, const mont32_u32 *d, mont32_u64 p,
                                  unsigned lead, unsigned rest) {
  const mont32_u32 ninv = MONT32_NAME(neg_inverse)(d[0]);
  MONT32_NAME(pow2_start)(out, d, lead + 32u * MONT32_N);
  for (unsigned i = rest; i-- > 0u;) {
    MONT32_NAME(square)(out, d, ninv);
    if ((p >> i) & 1u) MONT32_NAME(twice)(out);
  }
  MONT32_NAME(leave)(out, d, ninv);
}

/* d <- base + step * offset (the candidate of an offset), below R. */
MONT32_FN void MONT32_NAME(candidate)(mont32_u32 *d, const mont32_u32 *base,
                                      const mont32_u32 *step, mont32_u32 offset) {
  mont32_u64 c = 0;
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) {
    c = (mont32_u64)step[j] * offset + base[j] + (c >> 32);
    d[j] = (mont32_u32)c;
  }
}

MONT32_FN int MONT32_NAME(is_one)(const mont32_u32 *x) {
  mont32_u32 rest = x[0] ^ 1u;
  MONT32_UNROLL
  for (int j = 1; j < MONT32_N; ++j) rest |= x[j];
  return rest == 0u;
}

#undef MONT32_NAME
#undef MONT32_CAT
#undef MONT32_CAT2
