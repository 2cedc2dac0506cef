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
 * nothing), MONT32_ROLLED (one asking to keep it a loop: the start's steps
 * and the exponent's bits, whose counts vary), mont32_pow2f(x) (2^x as a
 * float, exactly, for -126 <= x <= 127) and mont32_ilogbf(x) (the exponent
 * e of a normal float x > 0: 2^e <= x < 2^(e+1)). Numbers are arrays of N
 * limbs, least significant first; every loop over limbs runs a fixed
 * number of times, so that unrolled they index registers only.
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
 *   On carry chains (MONT32_CHAINS, with carry32.h: the variant built for
 *   NVIDIA devices) the rounds are the same, the running value held as two
 *   sums of words that add up to it; a round's total stays below 5d + W 4d
 *   + W d < 6 d W < W^(N+1), and each sum, a part of that total made of
 *   non-negative terms, stays below it too, so neither carries out of
 *   position N; merged, the result is the same (x^2 + M d) / R. Leaving
 *   the form runs the same rounds without the products.
 *   Doubling: below 4d again, under R: a shift, with no comparison; so the
 *   exponent's bits need neither a comparison nor a branch on the data.
 *   Leaving Montgomery form: (x + M d) / R < 4d / R + d, so at most d, and
 *   never d itself, since x is congruent to 2^p R, a unit mod d: the result
 *   is the exact residue 2^p mod d in [0, d).
 *   Start: the Montgomery form of 2^lead, that is 2^(lead + 32 N) mod d, is
 *   reached in k steps, r <- r' - q' d for r' = 2^s in the first, s = lead +
 *   32 N - 16 (k - 1) with b' <= s <= b' + 15, where b' is the bit length b
 *   of d or b + 1 (read from the exponent of d's float below, which rounds
 *   up to 2^b at most; lead + 32 N > b'), so that 2^s < 2^17 d, and r' = r
 *   2^16 in each further one, with q' the truncation
 *   of a single-precision estimate of r' / d less one (an estimate below one
 *   truncates to 0). The numbers enter as sums of their limbs scaled by
 *   powers of two (no limb dropped; 2^s exactly), each with a relative error
 *   of at most (2N - 1) 2^-24; the reciprocal errs by at most 2.5 units in
 *   the last place (what OpenCL allows; a correctly rounded division errs by
 *   half of one; the scaling by 2^16 is exact), the product by one more
 *   rounding: under 20 * 2^-24 < 2^-19.6 in all. As r' / d is below 2^17 in
 *   the first step and below 3 * 2^16 for r < 3d in the others, both under
 *   2^18, the product errs by less than 60 * 2^-8 <
 *   0.235, and subtracting one rounds by at most half a unit at 2^18, 2^-6
 *   (none where a fused multiply-add spares that rounding): the value
 *   truncated is within 1/4 of rho - 1 for rho = r' / d, so q' is
 *   q - 2, q - 1 or q for the exact q = floor(rho), or 0 (a value below
 *   zero taken as zero) where rho < 1.25 (q at most 1). The new r is thus
 *   in [0, 3d) < R: exact, with no correction, and computed modulo R as
 *   r' + q' (R - d), the bits of r' at and above R (2^s may lie there, r
 *   2^16 has its top limb's upper half there) and the product's carries
 *   past the top limb falling away with the multiples of R.
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

#ifdef MONT32_CHAINS
/* x <- x^2 / R mod d, lazily: x < 4d in, x < 2d out; on carry chains
 * (carry32.h), each product's two halves side by side in one chain, so that
 * a product and its two addends take one wide multiply-add. The running
 * value is kept as two sums p + q (positions 0 .. N - 1); a round adds
 * x[i] x and m d, the even-indexed products' halves to one sum (e,
 * positions 0 .. N) and the odd-indexed ones' to the other (o, positions
 * 1 .. N), where no two halves of one chain overlap, and moves both down a
 * word. */
MONT32_FN void MONT32_NAME(square)(mont32_u32 *x, const mont32_u32 *d, mont32_u32 ninv) {
  MONT32_CARRY_FLAG;
  mont32_u32 p[MONT32_N], q[MONT32_N], e[MONT32_N + 1], o[MONT32_N + 1];
  MONT32_UNROLL
  for (int i = 0; i < MONT32_N; ++i) {
    const mont32_u32 b = x[i];
    if (i == 0) {
      /* The first row's products alone, each at its own positions. */
      MONT32_UNROLL
      for (int j = 0; j < MONT32_N; ++j) {
        const mont32_u64 t = (mont32_u64)b * x[j];
        if (j % 2 == 0) {
          e[j] = (mont32_u32)t;
          e[j + 1] = (mont32_u32)(t >> 32);
        } else {
          o[j] = (mont32_u32)t;
          o[j + 1] = (mont32_u32)(t >> 32);
        }
      }
      if (MONT32_N % 2 != 0) o[MONT32_N] = 0u;
      if (MONT32_N % 2 == 0) e[MONT32_N] = 0u;
    } else {
      /* Position 0 holds two words: their sum, whose carry starts the odd
       * chain. The odd chain takes p's words (the last round's even sum
       * moved down a word, so that its halves' pairs stay where they were),
       * the even one q's. */
      mont32_u32 s0;
      MONT32_ADD_CC(s0, q[0], p[0]);
      MONT32_UNROLL
      for (int j = 1; j < MONT32_N; j += 2) {
        MONT32_MADCLO_CC(o[j], b, x[j], p[j]);
        if (j + 1 < MONT32_N) {
          MONT32_MADCHI_CC(o[j + 1], b, x[j], p[j + 1]);
        } else {
          MONT32_MADCHI(o[j + 1], b, x[j], 0u);
        }
      }
      if (MONT32_N % 2 != 0) MONT32_ADDC(o[MONT32_N], 0u, 0u);
      MONT32_UNROLL
      for (int j = 0; j < MONT32_N; j += 2) {
        if (j == 0) {
          MONT32_MADLO_CC(e[0], b, x[0], s0);
        } else {
          MONT32_MADCLO_CC(e[j], b, x[j], q[j]);
        }
        if (j + 1 < MONT32_N) {
          MONT32_MADCHI_CC(e[j + 1], b, x[j], q[j + 1]);
        } else {
          MONT32_MADCHI(e[j + 1], b, x[j], 0u);
        }
      }
      if (MONT32_N % 2 == 0) MONT32_ADDC(e[MONT32_N], 0u, 0u);
    }
    /* m d cancels position 0 (e[0] becomes 0): its even products into e,
     * its odd ones into o. */
    const mont32_u32 m = e[0] * ninv;
    MONT32_UNROLL
    for (int j = 0; j < MONT32_N; j += 2) {
      if (j == 0) {
        MONT32_MADLO_CC(e[0], m, d[0], e[0]);
      } else {
        MONT32_MADCLO_CC(e[j], m, d[j], e[j]);
      }
      if (j + 1 < MONT32_N) {
        MONT32_MADCHI_CC(e[j + 1], m, d[j], e[j + 1]);
      } else {
        MONT32_MADCHI(e[j + 1], m, d[j], e[j + 1]);
      }
    }
    if (MONT32_N % 2 == 0) MONT32_ADDC(e[MONT32_N], e[MONT32_N], 0u);
    MONT32_UNROLL
    for (int j = 1; j < MONT32_N; j += 2) {
      if (j == 1) {
        MONT32_MADLO_CC(o[1], m, d[1], o[1]);
      } else {
        MONT32_MADCLO_CC(o[j], m, d[j], o[j]);
      }
      if (j + 1 < MONT32_N) {
        MONT32_MADCHI_CC(o[j + 1], m, d[j], o[j + 1]);
      } else {
        MONT32_MADCHI(o[j + 1], m, d[j], o[j + 1]);
      }
    }
    if (MONT32_N % 2 != 0) MONT32_ADDC(o[MONT32_N], o[MONT32_N], 0u);
    MONT32_UNROLL
    for (int k = 0; k < MONT32_N; ++k) {
      p[k] = e[k + 1];
      q[k] = o[k + 1];
    }
  }
  MONT32_ADD_CC(x[0], p[0], q[0]);
  MONT32_UNROLL
  for (int k = 1; k < MONT32_N - 1; ++k) MONT32_ADDC_CC(x[k], p[k], q[k]);
  MONT32_ADDC(x[MONT32_N - 1], p[MONT32_N - 1], q[MONT32_N - 1]);
}
#else
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

#endif

/* x <- 2x: below 2d in, below 4d out. */
MONT32_FN void MONT32_NAME(twice)(mont32_u32 *x) {
  MONT32_UNROLL
  for (int j = MONT32_N - 1; j > 0; --j) x[j] = (x[j] << 1) | (x[j - 1] >> 31);
  x[0] <<= 1;
}

#ifdef MONT32_CHAINS
/* x <- x / R mod d, exactly in [0, d), for x < 4d: the squaring's rounds
 * with m d alone, on the same two sums (x's words the first round's
 * addends). */
MONT32_FN void MONT32_NAME(leave)(mont32_u32 *x, const mont32_u32 *d, mont32_u32 ninv) {
  MONT32_CARRY_FLAG;
  mont32_u32 p[MONT32_N], q[MONT32_N], e[MONT32_N + 1], o[MONT32_N + 1];
  MONT32_UNROLL
  for (int k = 0; k < MONT32_N; ++k) {
    p[k] = x[k];
    q[k] = 0u;
  }
  MONT32_UNROLL
  for (int i = 0; i < MONT32_N; ++i) {
    mont32_u32 s0 = p[0];
    if (i > 0) MONT32_ADD_CC(s0, q[0], p[0]);
    const mont32_u32 m = s0 * ninv;
    /* The odd chain takes p's words (its carry in from position 0's sum),
     * the even one position 0 and q's. */
    MONT32_UNROLL
    for (int j = 1; j < MONT32_N; j += 2) {
      if (j == 1 && i == 0) {
        MONT32_MADLO_CC(o[1], m, d[1], p[1]);
      } else {
        MONT32_MADCLO_CC(o[j], m, d[j], p[j]);
      }
      if (j + 1 < MONT32_N) {
        MONT32_MADCHI_CC(o[j + 1], m, d[j], p[j + 1]);
      } else {
        MONT32_MADCHI(o[j + 1], m, d[j], 0u);
      }
    }
    if (MONT32_N % 2 != 0) MONT32_ADDC(o[MONT32_N], 0u, 0u);
    MONT32_UNROLL
    for (int j = 0; j < MONT32_N; j += 2) {
      if (j == 0) {
        MONT32_MADLO_CC(e[0], m, d[0], s0);
      } else {
        MONT32_MADCLO_CC(e[j], m, d[j], q[j]);
      }
      if (j + 1 < MONT32_N) {
        MONT32_MADCHI_CC(e[j + 1], m, d[j], q[j + 1]);
      } else {
        MONT32_MADCHI(e[j + 1], m, d[j], 0u);
      }
    }
    if (MONT32_N % 2 == 0) MONT32_ADDC(e[MONT32_N], 0u, 0u);
    MONT32_UNROLL
    for (int k = 0; k < MONT32_N; ++k) {
      p[k] = e[k + 1];
      q[k] = o[k + 1];
    }
  }
  MONT32_ADD_CC(x[0], p[0], q[0]);
  MONT32_UNROLL
  for (int k = 1; k < MONT32_N - 1; ++k) MONT32_ADDC_CC(x[k], p[k], q[k]);
  MONT32_ADDC(x[MONT32_N - 1], p[MONT32_N - 1], q[MONT32_N - 1]);
}
#else
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

#endif

/* x as a float, scaled by 2^(-32 (N - 1)): the sum of the limbs from the
 * lowest up, all of them non-negative. */
MONT32_FN float MONT32_NAME(scaled)(const mont32_u32 *x) {
  float f = (float)x[0];
  MONT32_UNROLL
  for (int j = 1; j < MONT32_N; ++j) f = f * 2.3283064365386963e-10f + (float)x[j];
  return f;
}

/* r <- (a + q y) mod R, for the start's steps (r may be a). */
MONT32_FN void MONT32_NAME(mad_mod)(mont32_u32 *r, const mont32_u32 *a, mont32_u32 q,
                                    const mont32_u32 *y) {
#ifdef MONT32_CHAINS
  /* The even-indexed products' halves on one chain, the odd ones' on a
   * second, each dropping what passes the top limb. */
  MONT32_CARRY_FLAG;
  mont32_u32 t[MONT32_N];
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; j += 2) {
    if (j == 0) {
      MONT32_MADLO_CC(t[0], q, y[0], a[0]);
    } else if (j + 1 < MONT32_N) {
      MONT32_MADCLO_CC(t[j], q, y[j], a[j]);
    } else {
      MONT32_MADCLO(t[j], q, y[j], a[j]);
    }
    if (j + 2 < MONT32_N) {
      MONT32_MADCHI_CC(t[j + 1], q, y[j], a[j + 1]);
    } else if (j + 1 < MONT32_N) {
      MONT32_MADCHI(t[j + 1], q, y[j], a[j + 1]);
    }
  }
  MONT32_UNROLL
  for (int j = 1; j < MONT32_N; j += 2) {
    if (j == 1) {
      MONT32_MADLO_CC(t[1], q, y[1], t[1]); /* N >= 3: not the top limb */
    } else if (j + 1 < MONT32_N) {
      MONT32_MADCLO_CC(t[j], q, y[j], t[j]);
    } else {
      MONT32_MADCLO(t[j], q, y[j], t[j]);
    }
    if (j + 2 < MONT32_N) {
      MONT32_MADCHI_CC(t[j + 1], q, y[j], t[j + 1]);
    } else if (j + 1 < MONT32_N) {
      MONT32_MADCHI(t[j + 1], q, y[j], t[j + 1]);
    }
  }
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) r[j] = t[j];
#else
  mont32_u64 c = 0;
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) {
    c = (mont32_u64)q * y[j] + a[j] + (c >> 32);
    r[j] = (mont32_u32)c;
  }
#endif
}

/* r <- a value congruent to 2^e mod d and below 3d, for e >= b where b is
 * the bit length of d (see the start above): 2^s - q' d for s = e - 16 (k -
 * 1) in [b, b + 15], then k - 1 steps r <- r 2^16 - q' d, each taken modulo
 * R as r 2^16 + q' (R - d). */
MONT32_FN void MONT32_NAME(pow2_start)(mont32_u32 *r, const mont32_u32 *d, unsigned e) {
  const float df = MONT32_NAME(scaled)(d);
  /* b, or b + 1 where d's float rounds up to 2^b */
  const unsigned b = (unsigned)(mont32_ilogbf(df) + 1 + 32 * (MONT32_N - 1));
  const unsigned steps = (e - b + 16u) / 16u; /* k = ceil((e - (b - 1)) / 16) */
  const unsigned s = e - 16u * (steps - 1u);  /* b <= s <= b + 15 */
  mont32_u32 nd[MONT32_N];                     /* R - d */
  mont32_u64 borrow = 0;
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) {
    const mont32_u64 diff = (mont32_u64)0 - d[j] - borrow;
    nd[j] = (mont32_u32)diff;
    borrow = (diff >> 32) & 1u;
  }
  const float inv = 1.0f / df;
  /* q' from 2^s / d (below 2^17): the truncation of the estimate less one,
   * 0 for an estimate below one. */
  float y = mont32_pow2f((int)s - 32 * (MONT32_N - 1)) * inv - 1.0f;
  mont32_u32 q = (mont32_u32)(y > 0.0f ? y : 0.0f);
  mont32_u32 power[MONT32_N]; /* 2^s mod R */
  MONT32_UNROLL
  for (int j = 0; j < MONT32_N; ++j) power[j] = (unsigned)j == s / 32u ? 1u << (s % 32u) : 0u;
  MONT32_NAME(mad_mod)(r, power, q, nd);
  /* 2^16 / d, so that the estimate of r 2^16 / d is one product. */
  const float inv16 = inv * 65536.0f;
  MONT32_ROLLED
  for (unsigned k = steps; --k > 0u;) {
    y = MONT32_NAME(scaled)(r) * inv16 - 1.0f;
    q = (mont32_u32)(y > 0.0f ? y : 0.0f);
    mont32_u32 shifted[MONT32_N]; /* r 2^16 mod R */
    MONT32_UNROLL
    for (int j = 0; j < MONT32_N; ++j) shifted[j] = (r[j] << 16) | (j > 0 ? r[j - 1] >> 16 : 0u);
    MONT32_NAME(mad_mod)(r, shifted, q, nd);
  }
}

/* w[0..2] <- the low rest bits of p (rest <= 63) from the top, up to 31 a
 * word: each word's next bit at its sign, a 1 below its last one as the end
 * mark, so that a bit costs a shift and two tests; the words not needed
 * are 0. */
MONT32_FN void MONT32_NAME(exponent_words)(mont32_u32 *w, mont32_u64 p, unsigned rest) {
  unsigned left = rest;
  MONT32_UNROLL
  for (int k = 0; k < 3; ++k) {
    const unsigned n = left < 31u ? left : 31u;
    left -= n;
    w[k] = n == 0u ? 0u : ((mont32_u32)(p >> left) << (32u - n)) | (1u << (31u - n));
  }
}

/* out <- 2^p mod d, for p = lead 2^rest + (the low rest bits of p), lead >=
 * 1, with those bits as exponent_words gives them. */
MONT32_FN void MONT32_NAME(powm2_words)(mont32_u32 *out, const mont32_u32 *d, unsigned lead,
                                        mont32_u32 w0, mont32_u32 w1, mont32_u32 w2) {
  const mont32_u32 ninv = MONT32_NAME(neg_inverse)(d[0]);
  MONT32_NAME(pow2_start)(out, d, lead + 32u * MONT32_N);
  MONT32_ROLLED
  for (mont32_u32 bits = w0; bits != 0u; bits = w1, w1 = w2, w2 = 0u) {
    MONT32_ROLLED
    do {
      MONT32_NAME(square)(out, d, ninv);
#ifdef MONT32_CHAINS
      /* The word added to itself: shifted, its top bit the carry. */
      MONT32_CARRY_FLAG;
      mont32_u32 bit;
      MONT32_ADD_CC(bits, bits, bits);
      MONT32_ADDC(bit, 0u, 0u);
      if (bit != 0u) MONT32_NAME(twice)(out);
#else
      if ((bits & 0x80000000u) != 0u) MONT32_NAME(twice)(out);
      bits <<= 1;
#endif
    } while (bits != 0x80000000u);
  }
  MONT32_NAME(leave)(out, d, ninv);
}

/* out <- 2^p mod d, for p = lead 2^rest + (the low rest bits of p), lead >= 1. */
MONT32_FN void MONT32_NAME(powm2)(mont32_u32 *out, const mont32_u32 *d, mont32_u64 p,
                                  unsigned lead, unsigned rest) {
  mont32_u32 w[3];
  MONT32_NAME(exponent_words)(w, p, rest);
  MONT32_NAME(powm2_words)(out, d, lead, w[0], w[1], w[2]);
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
