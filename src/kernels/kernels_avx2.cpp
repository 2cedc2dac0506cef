// SPDX-License-Identifier: MIT
// AVX2 kernel for x86-64 processors without AVX-512: 2^p mod d for four
// candidates per register, four registers in flight, each d held as four
// 26-bit limbs d = d0 + d1 2^26 + d2 2^52 + d3 2^78, multiplied by vpmuludq
// (32 x 32 -> 64 bits per lane). The vector unit's multiplier alone is no
// faster than the integer unit's, so each block also runs eight candidates
// through the two-word scalar chains of Mont2x64 (kernels_mont2x64.h, exact
// below 2^124), interleaved with the vector steps: both multipliers work at
// once.
//
// Montgomery arithmetic with R = 2^104 and values kept lazily in [0, 4d), the
// bound argument of the IFMA kernel:
//
//   Squaring: for x < 4d the product T = x^2 is below 16 d^2, and the four
//   reduction rounds add M d with M < R, so (T + M d) / R < 16 d^2 / R + d,
//   below 2d as long as d < R / 16 = 2^100. A doubling then gives a value
//   below 4d again, ready for the next squaring: no comparisons.
//   Leaving Montgomery form: (x + M d) / R < 4d / R + d, so at most d, and
//   never d itself since x is congruent to 2^p R, a unit mod d: the exact
//   residue in [0, d).
//   Start: a value congruent to 2^(104+e0) mod d, below 3d (pow2_start4).
//   Rounds: with ninv = -d^-1 mod 2^26, m = (c_i ninv) mod 2^26 makes
//   c_i + m d0 a multiple of 2^26, whose quotient carries into the next
//   column. vpmuludq reads the low 32 bits of c_i, which fix c_i mod 2^26.
//   Limbs and columns: after a reduction the limbs are carried to 26 bits
//   (the top one below 2^23, as the value is below 2d < 2^101); a doubling
//   makes them at most 27 bits, their doubles 28, so every product is below
//   2^55 and stays within the 32 bits the multiplier reads. A column gathers
//   at most two such products, four products m d_j below 2^52 and a carry
//   below 2^31: under 2^57, far inside its 64-bit lane.
//
// Hence the vector lanes, and so the kernel, are exact for every odd d with
// 3 <= d < 2^100.
//
// Every function that touches AVX2 carries the target attribute; kernels.cpp
// calls in here only after checking the CPU and the OS.
#include "kernels/kernels.h"
#include "kernels/kernels_mont2x64.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>

#define AVX2_TARGET __attribute__((target("avx2")))
#define AVX2_INLINE AVX2_TARGET __attribute__((always_inline)) inline

namespace kernels_internal {
namespace {

constexpr std::uint64_t kMask26 = (std::uint64_t(1) << 26) - 1;
// Registers of candidates in flight, and two-word scalar chains beside them:
// the mix that kept both multipliers busiest on the processors measured
// (kernel_bench; 4 + 8 against 1-8 registers with 4-16 chains).
constexpr int kGroups = 4;
constexpr int kScalar = 8;
constexpr int kLanes = 4 * kGroups + kScalar;
static_assert(kScalar % 4 == 0 && kScalar % kGroups == 0);
static_assert(kLanes == kAvx2Lanes);

AVX2_INLINE __m256i mul(__m256i a, __m256i b) { return _mm256_mul_epu32(a, b); }
AVX2_INLINE __m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }

// One reduction round on column c (its successors c1..c3 take m d1..m d3,
// c1 also the carry): c1 += (c + m d0) / 2^26.
AVX2_INLINE void round(__m256i c, __m256i& c1, __m256i& c2, __m256i& c3, const __m256i* d,
                       __m256i ninv) {
  const __m256i m = _mm256_and_si256(mul(c, ninv), _mm256_set1_epi64x(kMask26));
  c1 = add(add(c1, _mm256_srli_epi64(add(c, mul(m, d[0])), 26)), mul(m, d[1]));
  c2 = add(c2, mul(m, d[2]));
  c3 = add(c3, mul(m, d[3]));
}

// The four rounds on columns c0..c6 and the carries of the result, columns
// 4..6, into 26-bit limbs.
AVX2_INLINE void reduce(__m256i c0, __m256i c1, __m256i c2, __m256i c3, __m256i c4, __m256i c5,
                        __m256i c6, __m256i* x, const __m256i* d, __m256i ninv) {
  round(c0, c1, c2, c3, d, ninv);
  round(c1, c2, c3, c4, d, ninv);
  round(c2, c3, c4, c5, d, ninv);
  round(c3, c4, c5, c6, d, ninv);
  const __m256i mask = _mm256_set1_epi64x(kMask26);
  c5 = add(c5, _mm256_srli_epi64(c4, 26));
  c6 = add(c6, _mm256_srli_epi64(c5, 26));
  x[0] = _mm256_and_si256(c4, mask);
  x[1] = _mm256_and_si256(c5, mask);
  x[2] = _mm256_and_si256(c6, mask);
  x[3] = _mm256_srli_epi64(c6, 26);
}

// x <- x^2 / R mod d (below 2d), then doubled if kDouble.
template <bool kDouble>
AVX2_INLINE void square_step(__m256i* x, const __m256i* d, __m256i ninv) {
  const __m256i y1 = add(x[1], x[1]), y2 = add(x[2], x[2]), y3 = add(x[3], x[3]);
  reduce(mul(x[0], x[0]), mul(x[0], y1), add(mul(x[0], y2), mul(x[1], x[1])),
         add(mul(x[0], y3), mul(x[1], y2)), add(mul(x[1], y3), mul(x[2], x[2])),
         mul(x[2], y3), mul(x[3], x[3]), x, d, ninv);
  if (kDouble) {
    for (int i = 0; i < 4; ++i) x[i] = add(x[i], x[i]);
  }
}

// x <- x / R mod d, exact in [0, d).
AVX2_INLINE void leave_montgomery(__m256i* x, const __m256i* d, __m256i ninv) {
  const __m256i zero = _mm256_setzero_si256();
  reduce(x[0], x[1], x[2], x[3], zero, zero, zero, x, d, ninv);
}

// -d^-1 mod 2^26 for odd d: 3d xor 2 is right to 5 bits, each Newton step
// doubles that: 10, 20, 40.
std::uint64_t neg_inverse26(std::uint64_t d) {
  std::uint64_t x = (3 * d) ^ 2;
  for (int i = 0; i < 3; ++i) x *= 2 - d * x;
  return -x & kMask26;
}

// One step of the exponent for the whole block: each vector register, then
// its share of the scalar chains, so that both multipliers (the vector unit's
// and the integer unit's) have independent work within a short window.
template <bool kDouble>
AVX2_INLINE void block_step(__m256i (&x)[kGroups][4], const __m256i (&dv)[kGroups][4],
                            const __m256i (&ninv)[kGroups], std::uint64_t* s0, std::uint64_t* s1,
                            const std::uint64_t* sd0, const std::uint64_t* sd1,
                            const std::uint64_t* sinv) {
  constexpr int kShare = kScalar / kGroups;
#pragma GCC unroll 4
  for (int g = 0; g < kGroups; ++g) {
    square_step<kDouble>(x[g], dv[g], ninv[g]);
#pragma GCC unroll 4
    for (int j = g * kShare; j < (g + 1) * kShare; ++j) {
      mont2x64_square<kDouble>(s0[j], s1[j], sd0[j], sd1[j], sinv[j]);
    }
  }
}

// One block of kLanes candidates: the first 4 * kGroups in vector lanes, the
// last kScalar in two-word scalar chains (kernels_mont2x64.h).
AVX2_TARGET void avx2_block(std::uint64_t p, const u128* d, u128* residue,
                            std::uint8_t* divides, std::uint64_t flag_mask) {
  constexpr int kVector = 4 * kGroups;
  // Limbs lane by lane into [limb][lane] order, then into registers.
  alignas(32) std::uint64_t dl[4][kVector], xl[4][kVector], inv[kVector];
  std::uint64_t s0[kScalar], s1[kScalar], sd0[kScalar], sd1[kScalar], sinv[kScalar];
  u128 smallest = d[0];
  for (int j = 0; j < kLanes; ++j) smallest = std::min(smallest, d[j]);
  for (int j = 0; j < kVector; ++j) {
    for (int i = 0; i < 4; ++i) dl[i][j] = static_cast<std::uint64_t>(d[j] >> (26 * i)) & kMask26;
    inv[j] = neg_inverse26(static_cast<std::uint64_t>(d[j]));
  }
  for (int j = 0; j < kScalar; ++j) {
    sd0[j] = lo64(d[kVector + j]);
    sd1[j] = hi64(d[kVector + j]);
    sinv[j] = -inverse64(sd0[j]);
  }
  // Two steps of the start reach 2^(128+e0) from 2^(b-1), b the bit length
  // of the smallest d, for e0 <= b - 35 (the vector lanes, 2^(104+e0), need
  // less); below 2^64 the start divides.
  const unsigned bits = bit_length(smallest);
  const ExponentSplit e = split_exponent(p, bits > 64 ? bits - 35 : 23);
  u128 start[kLanes];
  for (int j = 0; j < kLanes; j += 4) {
    pow2_start4((j < kVector ? 104 : 128) + static_cast<unsigned>(e.lead), d + j, start + j);
  }
  for (int j = 0; j < kVector; ++j) {
    for (int i = 0; i < 4; ++i) xl[i][j] = static_cast<std::uint64_t>(start[j] >> (26 * i)) & kMask26;
  }
  for (int j = 0; j < kScalar; ++j) {
    s0[j] = lo64(start[kVector + j]);
    s1[j] = hi64(start[kVector + j]);
  }
  __m256i dv[kGroups][4], x[kGroups][4], ninv[kGroups];
  for (int g = 0; g < kGroups; ++g) {
    for (int i = 0; i < 4; ++i) {
      dv[g][i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&dl[i][4 * g]));
      x[g][i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&xl[i][4 * g]));
    }
    ninv[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&inv[4 * g]));
  }
  for (unsigned i = e.rest; i-- > 0;) {
    if ((p >> i) & 1) {
      block_step<true>(x, dv, ninv, s0, s1, sd0, sd1, sinv);
    } else {
      block_step<false>(x, dv, ninv, s0, s1, sd0, sd1, sinv);
    }
  }
  for (int g = 0; g < kGroups; ++g) {
    leave_montgomery(x[g], dv[g], ninv[g]);
    for (int i = 0; i < 4; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(&xl[i][4 * g]), x[g][i]);
  }
  for (int j = 0; j < kScalar; ++j) mont2x64_leave(s0[j], s1[j], sd0[j], sd1[j], sinv[j]);
  for (int j = 0; j < kLanes; ++j) {
    const u128 r = j < kVector ? xl[0][j] | (u128(xl[1][j]) << 26) | (u128(xl[2][j]) << 52) |
                                     (u128(xl[3][j]) << 78)
                               : (u128(s1[j - kVector]) << 64) | s0[j - kVector];
    if (residue != nullptr) residue[j] = r;
    if (divides != nullptr) divides[j] = verdict(static_cast<std::uint64_t>(r), r == 1, flag_mask);
  }
}

}  // namespace

void avx2_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
               std::uint8_t* divides, std::uint64_t flag_mask) {
  run_in_blocks<kLanes>(p, d, n, residue, divides, flag_mask, avx2_block);
}

}  // namespace kernels_internal

#endif  // __x86_64__
