// SPDX-License-Identifier: MIT
// The split of an exponent for a left-to-right power of two: its leading
// bits, up to a value `lead`, are taken at once (the power 2^lead is set up
// directly), and each of the `rest` bits below them costs a squaring.
#pragma once

#include <cstdint>

// p = lead * 2^rest + (the low rest bits of p), with 1 <= lead <= cap.
struct ExponentSplit {
  std::uint64_t p;
  std::uint64_t lead;
  unsigned rest;
};

// The split with the fewest remaining bits whose lead does not exceed cap
// (cap >= 1; p >= 1).
inline ExponentSplit split_exponent(std::uint64_t p, std::uint64_t cap) {
  // The top bit of p is 1 and cap >= 1, so at least one bit always fits.
  unsigned rest = static_cast<unsigned>(63 - __builtin_clzll(p));
  while (rest > 0 && (p >> (rest - 1)) <= cap) --rest;
  return {p, p >> rest, rest};
}
