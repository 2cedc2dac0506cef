// SPDX-License-Identifier: MIT
// Unsigned 128-bit integers, the native width of candidates: the type, its
// bit length, and the conversions to and from GMP integers (values below
// 2^128 only).
#pragma once

#include <gmp.h>

#include <cstdint>

__extension__ typedef unsigned __int128 u128;

// The number of significant bits of x (0 for 0).
inline unsigned bit_length(u128 x) {
  const auto hi = static_cast<std::uint64_t>(x >> 64);
  const auto lo = static_cast<std::uint64_t>(x);
  if (hi != 0) return 128 - static_cast<unsigned>(__builtin_clzll(hi));
  if (lo != 0) return 64 - static_cast<unsigned>(__builtin_clzll(lo));
  return 0;
}

// v as a u128; v must be non-negative and below 2^128.
inline u128 to_u128(mpz_srcptr v) {
  u128 out = 0;
  mpz_export(&out, nullptr, -1, sizeof out, 0, 0, v);
  return out;
}

// out <- x.
inline void set_u128(mpz_ptr out, u128 x) {
  const std::uint64_t words[2] = {static_cast<std::uint64_t>(x),
                                  static_cast<std::uint64_t>(x >> 64)};
  mpz_import(out, 2, -1, sizeof words[0], 0, 0, words);
}
