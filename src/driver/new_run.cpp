// SPDX-License-Identifier: MIT
#include "driver/new_run.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace {

constexpr std::array<long, 42> KnownMersenneExponents = {
    2,       3,       5,       7,       13,       17,       19,       31,      61,
    89,      107,     127,     521,     607,      1279,     2203,     2281,    3217,
    4253,    4423,    9689,    9941,    11213,    19937,    21701,    23209,   44497,
    86243,   110503,  132049,  216091,  756839,   859433,   1257787,  1398269, 2976221,
    3021377, 6972593, 13466917, 20996011, 24036583, 25964951};

void prompt(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);  // the prompt ends without a line end
}

bool depths_in_range(float start_bits, float end_bits) {
  return std::isfinite(start_bits) && std::isfinite(end_bits) && end_bits >= 0.0f &&
         start_bits <= kMaxDepth && end_bits <= kMaxDepth;
}

}  // namespace

int MersennePrime(mpz_srcptr p) {
  for (long e : KnownMersenneExponents) {
    if (mpz_cmp_si(p, e) == 0) return 1;
  }
  return 0;
}

int read_new_run(RunState& state) {
  prompt("Please enter the exponent to be factored: 2^");
  gmp_scanf("%Zd", state.exponent.get());  // unreadable input leaves 0
  mpz_mul_ui(state.two_p, state.exponent, 2);

  if (mpz_sgn(state.exponent) == 0) return 1;
  if (mpz_cmp_ui(state.exponent, kKnownLookupLimit) < 0 && MersennePrime(state.exponent)) {
    std::puts("You entered a known Mersenne Prime number. Try Again!");
    return 1;
  }
  // A negative exponent is no prime either; nothing later is built for one.
  if (mpz_sgn(state.exponent) < 0 || mpz_probab_prime_p(state.exponent, 20) == 0) {
    std::puts("You didn't enter a prime number. Try Again!");
    return 1;
  }

  prompt("Now enter start bit depth  : ");
  gmp_scanf(" %f", &state.start_bits);  // unreadable input keeps 2.0
  prompt("Finally enter end bit depth : ");
  gmp_scanf(" %f", &state.end_bits);  // unreadable input keeps 1.0

  if (!depths_in_range(state.start_bits, state.end_bits)) {
    std::puts("Bit depths must lie between 0 and 4096. Try Again!");
    return 1;
  }
  if (state.start_bits < 2.0f) state.start_bits = 2.0f;

  std::putchar('\n');
  std::printf("Sieving factors from %3.3f bits up to %3.3f bits...",
              static_cast<double>(state.start_bits), static_cast<double>(state.end_bits));
  std::putchar('\n');
  return 0;
}
