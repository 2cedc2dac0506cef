// SPDX-License-Identifier: MIT
#include "core/witness.h"

#include <cmath>

#include "core/big_int.h"

namespace {

// p / phi(p), from the prime factors of p below 2^16 (a larger factor q
// changes it by q / (q - 1), less than 1 + 2^-16).
double totient_ratio(mpz_srcptr p) {
  double ratio = 1;
  BigInt rest(0);
  mpz_set(rest, p);
  for (unsigned long q = 2; q < 65536 && mpz_cmp_ui(rest, 1) > 0; q += q == 2 ? 1 : 2) {
    if (mpz_divisible_ui_p(rest, q) == 0) continue;
    ratio *= static_cast<double>(q) / static_cast<double>(q - 1);
    while (mpz_divisible_ui_p(rest, q) != 0) mpz_divexact_ui(rest, rest, q);
  }
  return ratio;
}

}  // namespace

double expected_prime_candidates(mpz_srcptr p, mpz_srcptr k_lo, mpz_srcptr k_hi) {
  if (mpz_cmp(k_hi, k_lo) <= 0 || mpz_sgn(p) <= 0) return 0;
  // The integral of dk / ln(2pk + 1) over [k_lo, k_hi], by Simpson's rule
  // in u = ln k (the integrand e^u / ln(2p e^u + 1) is smooth there).
  const double two_p = 2 * mpz_get_d(p);
  const double lo = std::log(std::max(mpz_get_d(k_lo), 1.0));
  const double hi = std::log(std::max(mpz_get_d(k_hi), 1.0));
  if (hi <= lo) return 0;
  const auto f = [two_p](double u) { return std::exp(u) / std::log(two_p * std::exp(u) + 1); };
  constexpr int kSteps = 512;  // even
  const double h = (hi - lo) / kSteps;
  double sum = f(lo) + f(hi);
  for (int i = 1; i < kSteps; ++i) sum += f(lo + i * h) * (i % 2 == 1 ? 4 : 2);
  const double integral = sum * h / 3;
  // Half the k are +-1 mod 8, and primes among d = 1 mod 2p are 2p /
  // phi(2p) = 2 p / phi(p) times as dense (p odd) as among all numbers.
  const bool odd = mpz_odd_p(p) != 0;
  return integral * (odd ? totient_ratio(p) : totient_ratio(p) / 2);
}

unsigned witness_bits(mpz_srcptr p, mpz_srcptr k_lo, mpz_srcptr k_hi) {
  const double primes = expected_prime_candidates(p, k_lo, k_hi);
  unsigned bits = kLeastWitnessBits;
  while (bits < 127 && std::ldexp(primes, -static_cast<int>(bits)) > kMostWitnesses) ++bits;
  return bits;
}

bool far_too_few(double count, double expected, double least) {
  if (expected < least) return false;
  return count < expected - kCountSigmas * std::sqrt(expected);
}
