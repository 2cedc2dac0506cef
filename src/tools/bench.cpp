// SPDX-License-Identifier: MIT
#include "tools/bench.h"

#include <gmp.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <vector>

#include "core/big_int.h"
#include "core/run_state.h"

namespace {

constexpr int kIterations = 100000;
constexpr unsigned long kExponent = 3321928097;  // fits 32 bits
constexpr unsigned long kKGrowth = 20;           // running k grows by this per size
constexpr double kTimeScale = 0.31429;           // reported time is s * (1 + scale)
constexpr int kFirstBits = 57;

// Row i has exactly 58 + i bits; row 0 is 2 * 31e6 * p + 1.
constexpr std::array<const char*, 20> kDivisors = {
    "205959542014000001",      "411919084028000001",      "830482024250000001",
    "1660964048500000001",     "3321928097000000001",     "6643856194000000001",
    "13287712388000000001",    "26575424776000000001",    "53150849552000000001",
    "106301699104000000001",   "212603398208000000001",   "425206796416000000001",
    "850413592832000000001",   "1660964048500000000001",  "3321928097000000000001",
    "6643856194000000000001",  "13287712388000000000001", "26575424776000000000001",
    "53150849744000000000001", "106301699104000000000001"};

}  // namespace

void bench() {
  gmp_printf("\nTamrisk v.%s ", kVersion);
  std::putchar('\n');
  gmp_printf("Timing %i iterations at different bit length: ", kIterations);
  std::fflush(stdout);

  BigInt candidate(0), running_k(1), residue(1), base(2), exponent(kExponent);
  BigInt two_p;
  mpz_realloc2(two_p, 34);
  mpz_mul_ui(two_p, exponent, 2);
  std::vector<BigInt> divisors(kDivisors.size());
  for (std::size_t i = 0; i < kDivisors.size(); ++i) mpz_set_str(divisors[i], kDivisors[i], 10);

  for (std::size_t i = 0; i < divisors.size(); ++i) {
    const std::clock_t t0 = std::clock();
    mpz_mul_ui(running_k, running_k, kKGrowth);
    // The measured work: all four steps every time, although nothing reads
    // the candidate or the residue.
    for (unsigned long j = 0; j < kIterations; ++j) {
      mpz_add_ui(running_k, running_k, j);
      mpz_mul(candidate, running_k, two_p);
      mpz_add_ui(candidate, candidate, 1);
      mpz_powm(residue, base, exponent, divisors[i]);
    }
    const std::clock_t t1 = std::clock();
    const double s = static_cast<double>(t1 - t0) / CLOCKS_PER_SEC;
    const double reported = s + s * kTimeScale;
    std::putchar('\n');
    gmp_printf("Done %i iterations at %i bits: %3.2f sec", kIterations,
               kFirstBits + static_cast<int>(i), reported);
    std::fflush(stdout);
  }
}
