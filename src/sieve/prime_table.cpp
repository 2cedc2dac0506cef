// SPDX-License-Identifier: MIT
#include "sieve/prime_table.h"

#include <gmp.h>

#include <algorithm>
#include <cassert>

std::vector<std::uint32_t> primes_up_to(std::uint32_t bound) {
  std::vector<std::uint32_t> out;
  if (bound < 2) return out;
  out.push_back(2);
  std::vector<bool> composite(bound / 2 + 1, false);  // index i: 2i + 1
  for (std::uint64_t i = 1; (2 * i + 1) * (2 * i + 1) <= bound; ++i) {
    if (composite[i]) continue;
    const std::uint64_t q = 2 * i + 1;
    for (std::uint64_t m = q * q; m <= bound; m += 2 * q) composite[m / 2] = true;
  }
  for (std::uint64_t i = 1; 2 * i + 1 <= bound; ++i) {
    if (!composite[i]) out.push_back(static_cast<std::uint32_t>(2 * i + 1));
  }
  return out;
}

void build_prime_table(SmallPrimeTable& table) {
  const std::vector<std::uint32_t> primes = primes_up_to(kPrimeBound - 1);
  assert(primes.size() <= kPrimeCapacity);
  table.count = 0;
  for (const std::uint32_t q : primes) table.primes[table.count++] = static_cast<std::int32_t>(q);
}

namespace {

// Rounds the exact non-negative rational x to the nearest double and
// truncates that toward zero. x rounds up to the next integer y exactly when
// y - x is at most half the spacing of the doubles just below y (a tie goes
// to y, whose last significand bit is 0 wherever that spacing is below 1).
std::int64_t trunc_of_nearest_double(mpq_srcptr x) {
  mpz_t n, y, gap_num;
  mpz_inits(n, y, gap_num, nullptr);
  mpz_fdiv_q(n, mpq_numref(x), mpq_denref(x));
  mpz_add_ui(y, n, 1);
  const auto m = static_cast<long>(mpz_sizeinbase(y, 2)) - 1;  // 2^m <= y
  const bool power_of_two = mpz_scan1(y, 0) == static_cast<mp_bitcnt_t>(m);
  const long spacing_exp = (power_of_two ? m - 1 : m) - 52;

  // y - x <= 2^(spacing_exp - 1)  <=>  (y*den - num) * 2^(1 - spacing_exp) <= den
  mpz_mul(gap_num, y, mpq_denref(x));
  mpz_sub(gap_num, gap_num, mpq_numref(x));
  mpz_t half_den;
  mpz_init_set(half_den, mpq_denref(x));
  const long shift = 1 - spacing_exp;
  if (shift >= 0) {
    mpz_mul_2exp(gap_num, gap_num, static_cast<mp_bitcnt_t>(shift));
  } else {
    mpz_mul_2exp(half_den, half_den, static_cast<mp_bitcnt_t>(-shift));
  }
  const bool rounds_up = mpz_cmp(gap_num, half_den) <= 0;
  const std::int64_t result = mpz_get_si(rounds_up ? y : n);
  mpz_clears(n, y, gap_num, half_den, nullptr);
  return result;
}

}  // namespace

std::int32_t depth_limit(float end_bits) {
  mpq_t sum, part;
  mpq_inits(sum, part, nullptr);
  mpq_set_d(sum, 8.79);  // the double nearest to 8.79, exactly
  mpq_set_d(part, static_cast<double>(end_bits));
  mpq_add(sum, sum, part);
  mpq_set_ui(part, 100, 1);
  mpq_mul(sum, sum, part);
  // trunc(double(x)) is odd in x: take the magnitude and restore the sign.
  const bool negative = mpq_sgn(sum) < 0;
  if (negative) mpq_neg(sum, sum);
  // Beyond 2^31 the limit only needs to exceed any table's count.
  std::int64_t limit = mpq_cmp_ui(sum, 1UL << 31, 1) >= 0 ? std::int64_t{1} << 31
                                                          : trunc_of_nearest_double(sum);
  mpq_clears(sum, part, nullptr);
  if (negative) limit = -limit;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(limit, INT32_MIN, INT32_MAX));
}

std::int32_t sieve_prime_count_for(const SmallPrimeTable& table, float end_bits) {
  return std::min(table.count, depth_limit(end_bits));
}
