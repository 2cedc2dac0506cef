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
      kernels_internal::mont64_batch(p, d, n, residue, divides, flag_mask);
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
      kernels_internal::mont2x64_batch(p, d, n, residue, divides, flag_mask);
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
      kernels_internal::gmp_batch(p, d, n, residue, divides, flag_mask);
      return;
    case Kernel::Mont128:
      break;
  }
  kernels_internal::mont128_batch(p, d, n, residue, divides, flag_mask);
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
      return kernels_internal::kMont64Width;
    case Kernel::Mont128:
      return kernels_internal::kMont128Width;
    case Kernel::Ifma:
      return kernels_internal::kIfmaLanes;
    case Kernel::Mont2x64:
      return kernels_internal::kMont2x64Width;
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
