// SPDX-License-Identifier: MIT
// Small-prime table: the 22525 primes below 256000, built once per run by a
// sieve of Eratosthenes, and the rule that fixes how many of them a run's
// sieve uses (it grows with the end bit depth). The same sieve gives the
// deeper sieve its primes (sieve_context.h).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

inline constexpr std::int32_t kPrimeBound = 256000;   // primes below this
inline constexpr std::int32_t kPrimeCapacity = 25600;  // room in the table

struct SmallPrimeTable {
  std::array<std::int32_t, kPrimeCapacity> primes{};  // increasing: 2, 3, 5, 7, ...
  std::int32_t count = 0;                            // 22525 after the build
};

// The primes from 2 up to bound (inclusive), increasing, by a sieve of
// Eratosthenes over the odd numbers. Any bound up to 2^32 - 1.
std::vector<std::uint32_t> primes_up_to(std::uint32_t bound);

// Fills the table with every prime from 2 to 255989.
void build_prime_table(SmallPrimeTable& table);

// The depth limit L: trunc of the double nearest to (8.79 + end_bits) * 100,
// computed exactly from the double 8.79 and the float end_bits. (This is
// what extended-precision evaluation of (8.79 + e) * 1e8 / 1e6 gives.)
std::int32_t depth_limit(float end_bits);

// Number of table entries the sieve works with: min(count, depth_limit).
std::int32_t sieve_prime_count_for(const SmallPrimeTable& table, float end_bits);
