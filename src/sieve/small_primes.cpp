// SPDX-License-Identifier: MIT
#include "sieve/small_primes.h"

#include <algorithm>

namespace {

constexpr std::int32_t kFirstSievingIndex = 3;  // 2, 3 and 5 are covered by the residue marks

}  // namespace

std::int32_t first_multiple(const CandidateWindow& window, std::int32_t q) {
  const auto divisor = static_cast<unsigned long>(q);
  for (std::int32_t j = 0; j < kWindowSize; ++j) {
    if (mpz_fdiv_ui(window.entries[static_cast<std::size_t>(j)], divisor) == 0) return j;
  }
  return -1;
}

void mark_small_primes(const SmallPrimeTable& table, std::int32_t prime_count,
                       const CandidateWindow& window, mpz_ptr mask, std::int32_t segment_size) {
  const std::int32_t end = std::min(prime_count, table.count);
  for (std::int32_t i = kFirstSievingIndex; i < end; ++i) {
    const std::int32_t q = table.primes[static_cast<std::size_t>(i)];
    const std::int32_t j = first_multiple(window, q);
    if (j < 0) continue;
    if (std::int64_t{j} >= std::int64_t{segment_size} - q) continue;
    for (std::int64_t bit = std::int64_t{j} + q; bit < segment_size; bit += q) {
      const auto b = static_cast<mp_bitcnt_t>(bit);
      if (!mpz_tstbit(mask, b)) mpz_setbit(mask, b);
    }
  }
}

std::int64_t count_marked(mpz_srcptr mask, std::int32_t segment_size) {
  // All set bits, less those at and above N (bit N itself and any head mark
  // that a short segment carries beyond its end).
  auto count = static_cast<std::int64_t>(mpz_popcount(mask));
  const mp_bitcnt_t none = ~mp_bitcnt_t{0};
  for (mp_bitcnt_t b = mpz_scan1(mask, static_cast<mp_bitcnt_t>(segment_size)); b != none;
       b = mpz_scan1(mask, b + 1)) {
    --count;
  }
  return count;
}

double sieve_percentage(std::int64_t marked, std::int32_t segment_size) {
  if (segment_size == 0) return 0.0;
  return 100.0 * static_cast<double>(marked) / static_cast<double>(segment_size);
}

std::int64_t sieve_small_primes(const SmallPrimeTable& table, std::int32_t prime_count,
                                const CandidateWindow& window, mpz_ptr mask,
                                std::int32_t segment_size) {
  mark_small_primes(table, prime_count, window, mask, segment_size);
  return count_marked(mask, segment_size);
}
