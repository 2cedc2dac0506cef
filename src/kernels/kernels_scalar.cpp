// SPDX-License-Identifier: MIT
// The scalar kernels, one candidate per chain on the integer multiplier:
// 64-bit Montgomery (Mont64), 128-bit Montgomery (Mont128), two-word
// Montgomery with lazy reduction (Mont2x64, kernels_mont2x64.h), and the
// integer library's mpz_powm (Gmp); and the four-lane start of the vector
// kernels above 2^64. Each takes a batch as kernels.h's batch entries do.
#include <gmp.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "kernels/kernels.h"
#include "kernels/kernels_mont2x64.h"

namespace kernels_internal {

namespace {

// ---------------------------------------------------------------------------
// Mont64: d < 2^64, R = 2^64.
//
// With dinv = d^-1 mod 2^64 and T < d*2^64, m = T*dinv mod 2^64 makes m*d
// agree with T in the low 64 bits, so (T - m*d) / 2^64 is exactly
// T_hi - hi(m*d), which lies in (-d, d): one conditional addition of d
// gives T/2^64 mod d in [0, d). Nothing here exceeds 64 bits, so every odd
// d up to 2^64 - 1 is exact.

inline std::uint64_t redc64(std::uint64_t hi, std::uint64_t lo, std::uint64_t d,
                            std::uint64_t dinv) {
  const std::uint64_t m = lo * dinv;
  const auto mh = static_cast<std::uint64_t>((u128(m) * d) >> 64);
  const std::uint64_t r = hi - mh;
  return hi < mh ? r + d : r;
}

inline std::uint64_t double_mod64(std::uint64_t x, std::uint64_t d) {
  const std::uint64_t gap = d - x;
  return x >= gap ? x - gap : x + x;
}

// 2^(64+e) mod d for 2^e < d: one hardware division, whose quotient fits in
// 64 bits because the high word 2^e is below d.
inline std::uint64_t mont_pow2_64(std::uint64_t e, std::uint64_t d) {
  return kernels_internal::div_rem(std::uint64_t(1) << e, 0, d);
}

// Below 2^60 a lazier form pays: with -d^-1 instead of d^-1, (T + m d) / 2^64
// for T = x^2 and x < 4d is below 16 d^2 / 2^64 + d < 2d, so the result needs
// no correction and a doubling (below 4d) none either. The low words of T
// and m d add up to 0 or 2^64, so the carry between them is (T mod 2^64 != 0).
// Leaving Montgomery form, (x + m d) / 2^64 < 4d / 2^64 + d is at most d and
// never d itself (x is a unit mod d times 2^64): the residue exactly.
constexpr std::uint64_t kMont64LazyLimit = std::uint64_t(1) << 60;

inline std::uint64_t redc64_lazy(std::uint64_t hi, std::uint64_t lo, std::uint64_t d,
                                 std::uint64_t neg_dinv) {
  const std::uint64_t m = lo * neg_dinv;
  return hi + static_cast<std::uint64_t>((u128(m) * d) >> 64) + (lo != 0);
}

// W candidates advance through the same exponent bits side by side, so the
// multiplier works on W independent dependency chains at once. out[j] gets
// 2^p mod d[j].
template <int W, bool kLazy>
void mont64_chains(const ExponentSplit& e, const std::uint64_t* d, std::uint64_t* out) {
  std::uint64_t dinv[W], x[W];
#pragma GCC unroll 16
  for (int j = 0; j < W; ++j) {
    dinv[j] = kLazy ? -inverse64(d[j]) : inverse64(d[j]);
    x[j] = mont_pow2_64(e.lead, d[j]);
  }
  for (unsigned i = e.rest; i-- > 0;) {
#pragma GCC unroll 16
    for (int j = 0; j < W; ++j) {
      const u128 t = u128(x[j]) * x[j];
      const auto hi = static_cast<std::uint64_t>(t >> 64), lo = static_cast<std::uint64_t>(t);
      x[j] = kLazy ? redc64_lazy(hi, lo, d[j], dinv[j]) : redc64(hi, lo, d[j], dinv[j]);
    }
    if ((e.p >> i) & 1) {
#pragma GCC unroll 16
      for (int j = 0; j < W; ++j) x[j] = kLazy ? x[j] + x[j] : double_mod64(x[j], d[j]);
    }
  }
#pragma GCC unroll 16
  for (int j = 0; j < W; ++j) {
    out[j] = kLazy ? redc64_lazy(0, x[j], d[j], dinv[j]) : redc64(0, x[j], d[j], dinv[j]);
  }
}

template <int W>
void mont64_group(const ExponentSplit& e, const u128* dd, std::uint64_t* out) {
  std::uint64_t d[W];
  std::uint64_t largest = 0;
  for (int j = 0; j < W; ++j) {
    d[j] = static_cast<std::uint64_t>(dd[j]);
    largest = std::max(largest, d[j]);
  }
  if (largest < kMont64LazyLimit) {
    mont64_chains<W, true>(e, d, out);
  } else {
    mont64_chains<W, false>(e, d, out);
  }
}

// ---------------------------------------------------------------------------
// Mont128: d < 2^128, R = 2^128, the same subtractive reduction on two limbs:
// with dinv = d^-1 mod 2^128 and m = T*dinv mod 2^128, m*d agrees with T in
// the low 128 bits, so (T - m*d) / 2^128 = T_hi - hi(m*d) lies in (-d, d).
// Every odd d below 2^128 is exact.

struct Wide {
  u128 hi, lo;
};

inline Wide mul_wide(u128 a, u128 b) {
  const auto a0 = static_cast<std::uint64_t>(a), a1 = static_cast<std::uint64_t>(a >> 64);
  const auto b0 = static_cast<std::uint64_t>(b), b1 = static_cast<std::uint64_t>(b >> 64);
  const u128 p00 = u128(a0) * b0, p01 = u128(a0) * b1;
  const u128 p10 = u128(a1) * b0, p11 = u128(a1) * b1;
  // Three terms below 2^64 each: the middle column cannot overflow.
  const u128 mid = (p00 >> 64) + static_cast<std::uint64_t>(p01) + static_cast<std::uint64_t>(p10);
  return {p11 + (p01 >> 64) + (p10 >> 64) + (mid >> 64),
          (mid << 64) | static_cast<std::uint64_t>(p00)};
}

inline Wide sqr_wide(u128 a) {
  const auto a0 = static_cast<std::uint64_t>(a), a1 = static_cast<std::uint64_t>(a >> 64);
  const u128 p00 = u128(a0) * a0, p01 = u128(a0) * a1, p11 = u128(a1) * a1;
  // mid < 3 * 2^64: the doubled cross product and the carry from p00.
  const u128 mid = (p00 >> 64) + u128(static_cast<std::uint64_t>(p01)) * 2;
  return {p11 + (p01 >> 64) * 2 + (mid >> 64), (mid << 64) | static_cast<std::uint64_t>(p00)};
}

inline u128 inverse128(u128 d) {
  const u128 x = inverse64(static_cast<std::uint64_t>(d));
  return x * (2 - d * x);  // 64 -> 128 bits
}

inline u128 redc128(Wide t, u128 d, u128 dinv) {
  const u128 m = t.lo * dinv;
  const u128 mh = mul_wide(m, d).hi;
  return kernels_internal::sub_add_if_negative(t.hi, mh, d);
}

template <int W>
void mont128_group(const ExponentSplit& e, const u128* dd, u128* out) {
  u128 d[W], dinv[W], x[W];
  for (int j = 0; j < W; ++j) {
    d[j] = dd[j];
    dinv[j] = inverse128(d[j]);
    x[j] = pow2_mod(128 + static_cast<unsigned>(e.lead), d[j]);
  }
  for (unsigned i = e.rest; i-- > 0;) {
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) x[j] = redc128(sqr_wide(x[j]), d[j], dinv[j]);
    if ((e.p >> i) & 1) {
#pragma GCC unroll 8
      for (int j = 0; j < W; ++j) x[j] = kernels_internal::add_mod(x[j], x[j], d[j]);
    }
  }
  for (int j = 0; j < W; ++j) out[j] = redc128({0, x[j]}, d[j], dinv[j]);
}

// ---------------------------------------------------------------------------
// Mont2x64 (the arithmetic and its bound: kernels_mont2x64.h).

// A value congruent to 2^k mod d[j], in [0, 3 d[j]), for W candidates
// 2^64 < d[j] < 2^124: the start of the chains, which take any value below
// 4d. All lanes go in step so that their chains overlap. From r = 2^s, below
// every d[j] (s + 1 the bit length of the smallest), the power climbs by at
// most 47 bits per step, r <- r 2^t - q' d, with q' one less than the
// truncation of r 2^t / d estimated in double precision from an approximate
// reciprocal. For r < 3d the exact quotient q = floor(r 2^t / d) is below
// 3 * 2^47. r and d enter with a relative error of at most 2^-52 (the sum
// of the two converted words rounds once, and the dropped low 11 bits of d
// cost less than 2^-53 as d > 2^64; those of r, under 2^11, change the
// estimate by less than 2^11 2^47 / 2^64 = 2^-6), the reciprocal adds one
// rounding and the product one more: under 6 * 2^-53 in all, so the estimate
// errs by less than 3 * 2^47 * 6 * 2^-53 + 2^-6 < 1/2 and q' is q - 2,
// q - 1 or q (never below -1, as the estimate exceeds -1/2). The new r thus
// lies in [0, 3d), below 2^126, and is exact modulo 2^128: no correction.
inline double approx_double(u128 x) {
  return static_cast<double>(static_cast<std::int64_t>(hi64(x))) * 0x1p64 +
         static_cast<double>(static_cast<std::int64_t>(lo64(x) >> 11)) * 0x1p11;
}

template <int W>
void pow2_mod_wide(unsigned k, unsigned s, const u128* d, u128* r) {
  double inv[W];
#pragma GCC unroll 8
  for (int j = 0; j < W; ++j) {
    inv[j] = 1.0 / approx_double(d[j]);
    r[j] = u128(1) << s;
  }
  for (unsigned rem = k - s; rem > 0;) {
    const unsigned t = std::min(rem, 47u);
    rem -= t;
    const double scale = static_cast<double>(static_cast<std::int64_t>(1) << t);
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) {
      // The truncated estimate, q' + 1, is never negative.
      const auto q = static_cast<std::uint64_t>(
          static_cast<std::int64_t>(approx_double(r[j]) * scale * inv[j]));
      r[j] = (r[j] << t) + d[j] - u128(q) * d[j];
    }
  }
}

template <int W>
void mont2x64_chains(const ExponentSplit& e, const u128* dd, unsigned bits_smallest, u128* out) {
  std::uint64_t d0[W], d1[W], ninv[W], x0[W], x1[W];
  u128 start[W];
  const unsigned k = 128 + static_cast<unsigned>(e.lead);
  if (bits_smallest > 64) {
    pow2_mod_wide<W>(k, bits_smallest - 1, dd, start);
  } else {
    for (int j = 0; j < W; ++j) start[j] = pow2_mod(k, dd[j]);
  }
#pragma GCC unroll 8
  for (int j = 0; j < W; ++j) {
    d0[j] = lo64(dd[j]);
    d1[j] = hi64(dd[j]);
    ninv[j] = -inverse64(d0[j]);
    x0[j] = lo64(start[j]);
    x1[j] = hi64(start[j]);
  }
  for (unsigned i = e.rest; i-- > 0;) {
    if ((e.p >> i) & 1) {
#pragma GCC unroll 8
      for (int j = 0; j < W; ++j) mont2x64_square<true>(x0[j], x1[j], d0[j], d1[j], ninv[j]);
    } else {
#pragma GCC unroll 8
      for (int j = 0; j < W; ++j) mont2x64_square<false>(x0[j], x1[j], d0[j], d1[j], ninv[j]);
    }
  }
#pragma GCC unroll 8
  for (int j = 0; j < W; ++j) {
    mont2x64_leave(x0[j], x1[j], d0[j], d1[j], ninv[j]);
    out[j] = (u128(x1[j]) << 64) | x0[j];
  }
}

template <int W>
void mont2x64_group(const ExponentSplit& e, const u128* dd, u128* out) {
  u128 largest = 0, smallest = dd[0];
  for (int j = 0; j < W; ++j) {
    largest = std::max(largest, dd[j]);
    smallest = std::min(smallest, dd[j]);
  }
  if (largest < kMont2x64LazyLimit) {
    mont2x64_chains<W>(e, dd, bit_length(smallest), out);
  } else {
    mont128_group<W>(e, dd, out);
  }
}

// ---------------------------------------------------------------------------
// Batching for the scalar kernels: full groups straight from the input, the
// tail padded with copies of its first candidate. The leading exponent is
// chosen per group from its smallest candidate.

template <int W, typename Word, typename Group, typename Cap>
void scalar_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                  std::uint8_t* divides, std::uint64_t flag_mask, Group group, Cap cap) {
  for (std::size_t i = 0; i < n; i += W) {
    const std::size_t count = std::min<std::size_t>(W, n - i);
    u128 buf[W];
    const u128* src = d + i;
    if (count < W) {
      for (std::size_t j = 0; j < W; ++j) buf[j] = d[i + (j < count ? j : 0)];
      src = buf;
    }
    u128 smallest = src[0];
    for (std::size_t j = 1; j < W; ++j) smallest = std::min(smallest, src[j]);
    const ExponentSplit e = split_exponent(p, cap(bit_length(smallest)));
    Word out[W];
    group(e, src, out);
    for (std::size_t j = 0; j < count; ++j) {
      if (residue != nullptr) residue[i + j] = out[j];
      if (divides != nullptr) {
        divides[i + j] = verdict(static_cast<std::uint64_t>(out[j]), out[j] == 1, flag_mask);
      }
    }
  }
}

// The cap of the leading exponent for pow2_mod, as for Mont128.
std::uint64_t pow2_mod_cap(unsigned bits) {
  if (bits <= 64) return 63;
  if (bits >= 126) return 15;
  return std::clamp<int>(static_cast<int>(bits) - 33, 1, 63);
}

}  // namespace

void pow2_start4(unsigned k, const u128* d, u128* r) {
  u128 smallest = d[0], largest = d[0];
  for (int j = 1; j < 4; ++j) {
    smallest = std::min(smallest, d[j]);
    largest = std::max(largest, d[j]);
  }
  const unsigned bits = bit_length(smallest);
  if (bits > 64 && largest < kMont2x64LazyLimit && k >= bits - 1) {
    pow2_mod_wide<4>(k, bits - 1, d, r);
  } else {
    for (int j = 0; j < 4; ++j) r[j] = pow2_mod(k, d[j]);
  }
}

void mont64_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                  std::uint8_t* divides, std::uint64_t flag_mask) {
  // 2^e0 must stay below d for the single division that starts the chain.
  scalar_batch<kMont64Width, std::uint64_t>(p, d, n, residue, divides, flag_mask,
                                            mont64_group<kMont64Width>,
                                            [](unsigned bits) { return std::uint64_t(bits - 1); });
}

void mont128_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                   std::uint8_t* divides, std::uint64_t flag_mask) {
  // Below 2^64 pow2_mod divides in hardware; above, it climbs from
  // 2^(bits-1) in steps of 48 bits: keep that at two steps for the usual
  // sizes, and short near 2^128 where it doubles bit by bit.
  scalar_batch<kMont128Width, u128>(p, d, n, residue, divides, flag_mask,
                                    mont128_group<kMont128Width>,
                                    [](unsigned bits) -> std::uint64_t {
                                      if (bits <= 64) return 63;
                                      if (bits >= 126) return 15;
                                      return std::clamp<int>(static_cast<int>(bits) - 33, 1, 63);
                                    });
#ifdef TAMRISK_PLANTED_FAULT
  // Only in the test build that proves tamrisk-selftest catches broken
  // kernels (tests/CMakeLists.txt): the last lane of every group loses its
  // verdict, as a kernel with a lane dropped would.
  if (divides != nullptr) {
    for (std::size_t i = kMont128Width - 1; i < n; i += kMont128Width) divides[i] = 0;
  }
#endif
}

void mont2x64_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                    std::uint8_t* divides, std::uint64_t flag_mask) {
  scalar_batch<kMont2x64Width, u128>(p, d, n, residue, divides, flag_mask,
                                     mont2x64_group<kMont2x64Width>, [](unsigned bits) {
                                       // Two steps of 47 bits from 2^(bits-1).
                                       if (bits <= 64 || bits >= 124) return pow2_mod_cap(bits);
                                       return std::uint64_t(bits - 35);
                                     });
}

void gmp_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue, std::uint8_t* divides,
               std::uint64_t flag_mask) {
  mpz_t base, exp, mod, r;
  mpz_init_set_ui(base, 2);
  mpz_init(exp);
  mpz_init(mod);
  mpz_init(r);
  mpz_import(exp, 1, -1, sizeof p, 0, 0, &p);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t limbs[2] = {static_cast<std::uint64_t>(d[i]),
                                    static_cast<std::uint64_t>(d[i] >> 64)};
    mpz_import(mod, 2, -1, sizeof limbs[0], 0, 0, limbs);
    mpz_powm(r, base, exp, mod);
    if (residue != nullptr) {
      std::uint64_t out[2] = {0, 0};
      mpz_export(out, nullptr, -1, sizeof out[0], 0, 0, r);
      residue[i] = (u128(out[1]) << 64) | out[0];
    }
    if (divides != nullptr)
      divides[i] = verdict(mpz_getlimbn(r, 0), mpz_cmp_ui(r, 1) == 0, flag_mask);
  }
  mpz_clear(base);
  mpz_clear(exp);
  mpz_clear(mod);
  mpz_clear(r);
#ifdef TAMRISK_PLANTED_FAULT
  // Only in the same test build: lane 1 of every batch is called a divisor,
  // whatever it holds.
  if (divides != nullptr && n > 1) divides[1] = 1;
#endif
}

}  // namespace kernels_internal
