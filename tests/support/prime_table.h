// SPDX-License-Identifier: MIT
// The full table of small primes, built once for all the tests of a binary.
#pragma once

#include "sieve/prime_table.h"

inline const SmallPrimeTable& built_prime_table() {
  static const SmallPrimeTable table = [] {
    SmallPrimeTable t;
    build_prime_table(t);
    return t;
  }();
  return table;
}
