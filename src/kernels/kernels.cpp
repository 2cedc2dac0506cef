// SPDX-License-Identifier: MIT
// Scalar exponentiation kernels (64- and 128-bit Montgomery, GMP) and the
// dispatch to every kernel, by what the CPU offers (core/cpu_features.h);
// the vector kernels live in kernels_ifma.cpp, kernels_avx2.cpp and
// kernels_fma.cpp; the choice among the kernels is kernel_choice.cpp's.
//
// All kernels compute 2^p mod d by left-to-right binary exponentiation: the
// leading bits of p form a small exponent e0 whose power 2^e0 is brought into
// Montgomery form directly (skipping the first squarings), then each further
// bit of p costs one Montgomery squaring and, for a 1 bit, one doubling, which
// in Montgomery form is a plain modular addition.
#include "kernels/kernels.h"

#include <gmp.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "core/cpu_features.h"
#include "kernels/kernels_mont2x64.h"

namespace kernels_internal {

namespace {

// a - b modulo 2^128, plus d when that went below zero. The borrow is read
// from the top bits (it is set where a lacks a bit b has, or where they agree
// and the difference has it): GCC compiles a 128-bit comparison, even an
// overflow builtin, into a branch, mispredicted half of the time here.
inline u128 sub_add_if_negative(u128 a, u128 b, u128 d) {
  const u128 r = a - b;
  const auto ah = static_cast<std::uint64_t>(a >> 64), bh = static_cast<std::uint64_t>(b >> 64);
  const auto rh = static_cast<std::uint64_t>(r >> 64);
  const std::uint64_t mask = -(((~ah & bh) | (~(ah ^ bh) & rh)) >> 63);
  return r + (d & ((u128(mask) << 64) | mask));
}

// a + b mod d for a, b < d < 2^128, without overflowing 128 bits.
inline u128 add_mod(u128 a, u128 b, u128 d) { return sub_add_if_negative(a, d - b, d); }

inline double to_double(u128 x) {
  return static_cast<double>(static_cast<std::uint64_t>(x >> 64)) * 0x1p64 +
         static_cast<double>(static_cast<std::uint64_t>(x));
}

}  // namespace

std::uint64_t div_rem(std::uint64_t hi, std::uint64_t lo, std::uint64_t d) {
#if defined(__x86_64__)
  std::uint64_t q = 0, r = 0;
  __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(d));
  return r;
#else
  return static_cast<std::uint64_t>(((u128(hi) << 64) | lo) % d);
#endif
}

u128 pow2_mod(unsigned k, u128 d) {
  if ((d >> 64) == 0) {
    // 2^(k mod 64) mod d, then one hardware division per further 64 bits;
    // the high word is always reduced, so every quotient fits in 64 bits.
    const auto d64 = static_cast<std::uint64_t>(d);
    std::uint64_t r = (std::uint64_t(1) << (k % 64)) % d64;
    for (unsigned i = 0; i < k / 64; ++i) r = div_rem(r, 0, d64);
    return r;
  }
  const unsigned b = bit_length(d);
  // d is odd and above 2^(b-1), so every 2^k with k < b is already reduced.
  if (k < b) return u128(1) << k;
  u128 r = u128(1) << (b - 1);
  unsigned rem = k - (b - 1);
  if (b >= 126) {
    // Too close to 2^128 for the signed correction below; the few doublings
    // needed here are cheap.
    while (rem-- > 0) r = add_mod(r, r, d);
    return r;
  }
  // Shift r left by up to 48 bits at a time and subtract q*d, with q the
  // quotient estimated in double precision. Each rounding errs by at most
  // 2^-53 relatively; with about nine of them and q < 2^48 the estimate is
  // off by less than one, so the exact difference lies in [-d, 2d) and,
  // d being below 2^125, is recovered from its value modulo 2^128 read as a
  // two's complement number. The correction loops then make it exact.
  const double inv = 1.0 / to_double(d);
  while (rem > 0) {
    const unsigned t = std::min(rem, 48u);
    rem -= t;
    const double scale = static_cast<double>(std::uint64_t(1) << t);
    const auto q = static_cast<std::uint64_t>(to_double(r) * scale * inv);
    u128 v = (r << t) - u128(q) * d;  // the difference modulo 2^128
    while (v >> 127) v += d;          // negative
    while (v >= d) v -= d;
    r = v;
  }
  return r;
}

}  // namespace kernels_internal

using kernels_internal::hi64;
using kernels_internal::inverse64;
using kernels_internal::kMont2x64LazyLimit;
using kernels_internal::lo64;
using kernels_internal::mont2x64_leave;
using kernels_internal::mont2x64_square;
using kernels_internal::pow2_mod;
using kernels_internal::verdict;

namespace {

bool ifma_supported() { return cpu_features().avx512_ifma; }

bool avx2_supported() { return cpu_features().avx2; }

// The FMA kernels: AVX2 as above, and FMA.
bool fma_supported() { return cpu_features().avx2 && cpu_features().fma; }

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

}  // namespace

void kernels_internal::pow2_start4(unsigned k, const u128* d, u128* r) {
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

namespace {

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

constexpr int kMont64Width = 8;
constexpr int kMont128Width = 4;
constexpr int kMont2x64Width = 4;

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

// The cap of the leading exponent for pow2_mod, as for Mont128.
std::uint64_t pow2_mod_cap(unsigned bits) {
  if (bits <= 64) return 63;
  if (bits >= 126) return 15;
  return std::clamp<int>(static_cast<int>(bits) - 33, 1, 63);
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

#ifdef TAMRISK_PLANTED_FAULT
// Only in the same test build, when TAMRISK_PLANTED_RESIDUE asks for it
// ("zero:N" or "random:N"): the residue of one candidate in N (those whose
// d hashes to a multiple of N, whatever the batch or the thread) comes out
// wrong, 0 or a value of its own, with its verdict as a kernel that
// computed it would give.
void plant_wrong_residues(const u128* d, std::size_t n, u128* residue, std::uint8_t* divides,
                          std::uint64_t flag_mask) {
  const char* value = std::getenv("TAMRISK_PLANTED_RESIDUE");
  if (value == nullptr) return;
  const std::string text = value;
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return;
  const bool zero = text.substr(0, colon) == "zero";
  const std::uint64_t every = std::strtoull(text.c_str() + colon + 1, nullptr, 10);
  if (every == 0) return;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t h = static_cast<std::uint64_t>(d[i]) ^ static_cast<std::uint64_t>(d[i] >> 64);
    h = (h ^ (h >> 31)) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    if (h % every != 0) continue;
    const u128 wrong = zero ? 0 : (u128(h) * 0x2545f4914f6cdd1dull) % d[i];
    if (residue != nullptr) residue[i] = wrong;
    if (divides != nullptr) {
      divides[i] = verdict(static_cast<std::uint64_t>(wrong), wrong == 1, flag_mask);
    }
  }
}
#endif

void run_batch_of(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                  std::uint8_t* divides, std::uint64_t flag_mask);

void run_batch(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n, u128* residue,
               std::uint8_t* divides, std::uint64_t flag_mask) {
  run_batch_of(kernel, p, d, n, residue, divides, flag_mask);
#ifdef TAMRISK_PLANTED_FAULT
  plant_wrong_residues(d, n, residue, divides, flag_mask);
#endif
}

void run_batch_of(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                  std::uint8_t* divides, std::uint64_t flag_mask) {
  if (n == 0) return;
  switch (kernel) {
    case Kernel::Mont64:
      mont64_batch(p, d, n, residue, divides, flag_mask);
      return;
    case Kernel::Ifma:
#if defined(__x86_64__)
      if (ifma_supported()) {
        kernels_internal::ifma_batch(p, d, n, residue, divides, flag_mask);
        return;
      }
#endif
      break;
    case Kernel::Mont2x64:
      mont2x64_batch(p, d, n, residue, divides, flag_mask);
      return;
    case Kernel::Avx2:
#if defined(__x86_64__)
      if (avx2_supported()) {
        kernels_internal::avx2_batch(p, d, n, residue, divides, flag_mask);
        return;
      }
#endif
      break;
    case Kernel::Fma:
#if defined(__x86_64__)
      if (fma_supported()) {
        kernels_internal::fma_batch(p, d, n, residue, divides, flag_mask);
        return;
      }
#endif
      break;
    case Kernel::Fma64:
#if defined(__x86_64__)
      if (fma_supported()) {
        kernels_internal::fma64_batch(p, d, n, residue, divides, flag_mask);
        return;
      }
#endif
      break;
    case Kernel::Gmp:
      gmp_batch(p, d, n, residue, divides, flag_mask);
      return;
    case Kernel::Mont128:
      break;
  }
  mont128_batch(p, d, n, residue, divides, flag_mask);
}

}  // namespace

bool kernel_available(Kernel kernel) {
  if (kernel == Kernel::Ifma) return ifma_supported();
  if (kernel == Kernel::Avx2) return avx2_supported();
  if (kernel == Kernel::Fma || kernel == Kernel::Fma64) return fma_supported();
  return true;
}

unsigned kernel_max_bits(Kernel kernel) {
  switch (kernel) {
    case Kernel::Mont64:
    case Kernel::Fma64:
      return 64;
    case Kernel::Ifma:
    case Kernel::Avx2:
      return 100;
    case Kernel::Fma:
      return 98;
    case Kernel::Mont128:
    case Kernel::Mont2x64:
    case Kernel::Gmp:
      break;
  }
  return 128;
}

std::size_t kernel_batch_width(Kernel kernel) {
  switch (kernel) {
    case Kernel::Mont64:
      return kMont64Width;
    case Kernel::Mont128:
      return kMont128Width;
    case Kernel::Ifma:
      return kernels_internal::kIfmaLanes;
    case Kernel::Mont2x64:
      return kMont2x64Width;
    case Kernel::Avx2:
      return kernels_internal::kAvx2Lanes;
    case Kernel::Fma:
      return kernels_internal::kFmaLanes;
    case Kernel::Fma64:
      return kernels_internal::kFma64Lanes;
    case Kernel::Gmp:
      break;
  }
  return 1;
}

std::string_view kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::Mont64:
      return "mont64";
    case Kernel::Mont128:
      return "mont128";
    case Kernel::Ifma:
      return "ifma";
    case Kernel::Mont2x64:
      return "mont2x64";
    case Kernel::Avx2:
      return "avx2";
    case Kernel::Fma:
      return "fma";
    case Kernel::Fma64:
      return "fma64";
    case Kernel::Gmp:
      break;
  }
  return "gmp";
}

std::optional<Kernel> kernel_from_name(std::string_view name) {
  for (Kernel k : kAllKernels) {
    if (name == kernel_name(k)) return k;
  }
  return std::nullopt;
}

std::optional<Kernel> forced_kernel() {
  const char* value = std::getenv("TAMRISK_KERNEL");
  if (value == nullptr) return std::nullopt;
  return kernel_from_name(value);
}

bool portable_forced() {
  const char* value = std::getenv("TAMRISK_KERNEL");
  return value != nullptr && std::string_view(value) == "portable";
}

void powm2_batch(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n, u128* residue) {
  run_batch(kernel, p, d, n, residue, nullptr, 0);
}

void divides_batch(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n,
                   std::uint8_t* divides, unsigned check_bits) {
  const std::uint64_t flag_mask =
      check_bits == 0 ? 0 : ~std::uint64_t{0} >> (64 - std::min(check_bits, 52u));
  run_batch(kernel, p, d, n, nullptr, divides, flag_mask);
}
