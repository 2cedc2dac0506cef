// SPDX-License-Identifier: MIT
// Scalar Montgomery arithmetic on 64-bit words, and modular addition on
// 128 bits, shared by the kernel translation units (kernels.cpp,
// kernels_scalar.cpp, kernels_avx2.cpp); not part of the contract in
// kernels.h.
#pragma once

#include <array>
#include <cstdint>

#include "kernels/kernels.h"

namespace kernels_internal {

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


// d^-1 mod 2^8 for the odd d mod 2^8, indexed by d / 2 mod 128.
constexpr auto kInverse8 = [] {
  std::array<std::uint8_t, 128> table{};
  for (unsigned i = 0; i < 128; ++i) {
    const unsigned d = 2 * i + 1;
    unsigned x = 1;
    while ((d * x) % 256 != 1) x += 2;
    table[i] = static_cast<std::uint8_t>(x);
  }
  return table;
}();

// d^-1 mod 2^64: each Newton step x(2 - dx) doubles the correct low bits of
// the table's 8: 16, 32, 64. The multiplier is the scarce unit in every
// kernel, so one step fewer than from the 5 bits of (3d xor 2) counts.
inline std::uint64_t inverse64(std::uint64_t d) {
  std::uint64_t x = kInverse8[(d >> 1) & 127];
  for (int i = 0; i < 3; ++i) x *= 2 - d * x;
  return x;
}

// ---------------------------------------------------------------------------
// Mont2x64: two-word Montgomery on 64-bit words, R = 2^128, reduced one word
// at a time (two 64x64 -> 128-bit products per word of the modulus), values
// kept lazily in [0, 4d) as in the IFMA kernel. With d = d0 + d1 * 2^64 and
// ninv = -d0^-1 mod 2^64:
//
//   Squaring: T = x^2 for x < 4d. The first round adds m0 * d with
//   m0 = t0 * ninv mod 2^64, which clears the lowest word of T; the second
//   adds m1 * d * 2^64 with m1 = (the next word) * ninv, which clears the
//   next. So (T + (m0 + m1 2^64) d) / 2^128 is exact, and as m0 + m1 2^64 <
//   R it is below 16 d^2 / R + d, which is under 2d as long as d < R / 16 =
//   2^124. A doubling then gives a value below 4d again: neither step ever
//   needs a comparison.
//   Leaving Montgomery form: (x + m d) / R < 4d / R + d, so at most d, and
//   never d itself since x is congruent to 2^p R, a unit mod d: the exact
//   residue in [0, d).
//   Start: the Montgomery form of 2^e0 enters as a value congruent to
//   2^(128+e0) mod d, below 3d (see pow2_mod_wide).
//   Words: every value stays below 4d < 2^126, so two words hold it; the
//   column sums below stay under 8 * 2^64 and are held in 128 bits.
//
// Hence the kernel is exact for every odd d with 3 <= d < 2^124; a group
// holding a larger d runs Mont128 instead (exact to 2^128), so the kernel
// serves the whole interface. The 128-bit integers of the compiler give the
// 64x64 -> 128-bit products (mulx or mul on x86-64, mul and umulh on
// aarch64); several candidates advance side by side so that the multiplier
// always has an independent product to start. The AVX2 kernel runs these
// chains beside its vector ones.

constexpr u128 kMont2x64LazyLimit = u128(1) << 124;

inline std::uint64_t lo64(u128 x) { return static_cast<std::uint64_t>(x); }
inline std::uint64_t hi64(u128 x) { return static_cast<std::uint64_t>(x >> 64); }

// The two reduction rounds on T = w0 + c1 2^64 + c2 2^128 + c3 2^192, given
// as its lowest word and the column sums above it; x0, x1 get the words of
// (T + m d) / 2^128.
inline void mont2x64_reduce(std::uint64_t w0, u128 c1, u128 c2, std::uint64_t c3,
                            std::uint64_t d0, std::uint64_t d1, std::uint64_t ninv,
                            std::uint64_t& x0, std::uint64_t& x1) {
  // Round one: w0 + lo(m0 d0) is 0 or 2^64, the latter exactly when w0 != 0.
  const std::uint64_t m0 = w0 * ninv;
  const u128 a = u128(m0) * d0, b = u128(m0) * d1;
  c1 += u128(hi64(a)) + lo64(b) + (w0 != 0);
  c2 += hi64(b);
  // Round two, on column 1 alike.
  const std::uint64_t m1 = lo64(c1) * ninv;
  const u128 e = u128(m1) * d0, f = u128(m1) * d1;
  c2 += u128(hi64(c1)) + (lo64(c1) != 0) + hi64(e) + lo64(f);
  x0 = lo64(c2);
  x1 = c3 + hi64(f) + hi64(c2);
}

#if defined(__x86_64__)
// The two Montgomery rounds of the x86-64 squaring and of leaving the form,
// written once: with T = x1:x0:t1:t0 (t0 the lowest word), round one takes
// m = t0 ninv and adds m d, which clears t0; round two takes m = t1 ninv and
// adds m d 2^64, which clears t1; x1:x0 is then the result.
#define TAMRISK_MONT2X64_ROUNDS \
  "imulq %[ninv], %[m]\n\t" \
  "movq %[m], %%rax\n\t" \
  "mulq %[d0]\n\t" \
  "addq %%rax, %[t0]\n\t" \
  "adcq %%rdx, %[t1]\n\t" \
  "adcq $0, %[x0]\n\t" \
  "adcq $0, %[x1]\n\t" \
  "movq %[m], %%rax\n\t" \
  "mulq %[d1]\n\t" \
  "addq %%rax, %[t1]\n\t" \
  "adcq %%rdx, %[x0]\n\t" \
  "adcq $0, %[x1]\n\t" \
  "movq %[t1], %[m]\n\t" \
  "imulq %[ninv], %[m]\n\t" \
  "movq %[m], %%rax\n\t" \
  "mulq %[d0]\n\t" \
  "addq %%rax, %[t1]\n\t" \
  "adcq %%rdx, %[x0]\n\t" \
  "adcq $0, %[x1]\n\t" \
  "movq %[m], %%rax\n\t" \
  "mulq %[d1]\n\t" \
  "addq %%rax, %[x0]\n\t" \
  "adcq %%rdx, %[x1]\n\t"
#endif

// x <- x^2 / R mod d (below 2d), doubled if kDouble.
template <bool kDouble>
inline void mont2x64_square(std::uint64_t& x0, std::uint64_t& x1, std::uint64_t d0,
                            std::uint64_t d1, std::uint64_t ninv) {
#if defined(__x86_64__)
  // The same two rounds on the four words t0, t1, x0, x1 of T (the last two
  // end as the result), in the instructions of any x86-64: GCC spills the
  // 128-bit column sums above to memory. x1 < 2^62, so the cross product is
  // taken once with 2 x1, which fits a word. Each m d is added word by word
  // with its carries rippling up; nothing carries out of the top word, as
  // T + (m0 + m1 2^64) d < 2^128 * 2d < 2^254. Seven registers besides the
  // operands in memory, so that it fits between the chains around it.
  std::uint64_t t0, t1, m;
  __asm__(
      "movq %[x1], %[m]\n\t"
      "addq %[m], %[m]\n\t"
      "movq %[x0], %%rax\n\t"
      "mulq %[m]\n\t"
      "movq %%rax, %[t1]\n\t"
      "movq %%rdx, %[t0]\n\t"  // column 2, for now
      "movq %[x0], %%rax\n\t"
      "mulq %[x0]\n\t"
      "movq %%rax, %[m]\n\t"   // column 0, for now
      "addq %%rdx, %[t1]\n\t"
      "adcq $0, %[t0]\n\t"     // hi(x0 2x1) < 2^63: no carry out
      "movq %[x1], %%rax\n\t"
      "mulq %[x1]\n\t"
      "addq %[t0], %%rax\n\t"
      "adcq $0, %%rdx\n\t"     // hi(x1^2) < 2^60
      "movq %%rax, %[x0]\n\t"
      "movq %%rdx, %[x1]\n\t"
      "movq %[m], %[t0]\n\t"
      TAMRISK_MONT2X64_ROUNDS
      : [x0] "+&r"(x0), [x1] "+&r"(x1), [t0] "=&r"(t0), [t1] "=&r"(t1), [m] "=&r"(m)
      : [d0] "rm"(d0), [d1] "rm"(d1), [ninv] "rm"(ninv)
      : "rax", "rdx", "cc");
#else
  const u128 p00 = u128(x0) * x0, p01 = u128(x0) * x1, p11 = u128(x1) * x1;
  // Columns of T: the cross product counts twice.
  const u128 c1 = u128(hi64(p00)) + (u128(lo64(p01)) << 1);
  const u128 c2 = (u128(hi64(p01)) << 1) + lo64(p11);
  mont2x64_reduce(lo64(p00), c1, c2, hi64(p11), d0, d1, ninv, x0, x1);
#endif
  if (kDouble) {
    x1 = (x1 << 1) | (x0 >> 63);
    x0 <<= 1;
  }
}

// x <- x / R mod d, exact in [0, d) for x < 4d (see the top of this part).
inline void mont2x64_leave(std::uint64_t& x0, std::uint64_t& x1, std::uint64_t d0,
                           std::uint64_t d1, std::uint64_t ninv) {
#if defined(__x86_64__)
  // The two rounds of the squaring on T = x: words t0, t1 = x, then 0, 0.
  std::uint64_t t0, t1, m;
  __asm__(
      "movq %[x0], %[t0]\n\t"
      "movq %[x1], %[t1]\n\t"
      "movq %[x0], %[m]\n\t"
      "xorl %k[x0], %k[x0]\n\t"
      "xorl %k[x1], %k[x1]\n\t"
      TAMRISK_MONT2X64_ROUNDS
      : [x0] "+&r"(x0), [x1] "+&r"(x1), [t0] "=&r"(t0), [t1] "=&r"(t1), [m] "=&r"(m)
      : [d0] "rm"(d0), [d1] "rm"(d1), [ninv] "rm"(ninv)
      : "rax", "rdx", "cc");
#else
  mont2x64_reduce(x0, x1, 0, 0, d0, d1, ninv, x0, x1);
#endif
}

}  // namespace kernels_internal
