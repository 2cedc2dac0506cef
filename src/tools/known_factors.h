// SPDX-License-Identifier: MIT
// The known divisors of Mersenne numbers that tamrisk-selftest checks the
// kernels and the search against: 2818 divisors d = 2kp + 1 from public
// records, 18 to 95 bits, exponents from 100019 to 3321933971, a few of them
// composite (products of two known prime factors). The table is compiled in
// from data/known-factors.tsv (data/embed-known-factors.cmake), in the file's
// order: by increasing bit length of d.
#pragma once

#include <cstdint>
#include <span>

struct KnownFactor {
  unsigned bits;       // bit length of d
  std::uint64_t p;     // the exponent of M(p) = 2^p - 1
  std::uint64_t k;     // d = 2kp + 1
  const char* d;       // d in decimal (it may need more than 64 bits)
};

std::span<const KnownFactor> known_factors();
