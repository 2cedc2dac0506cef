// SPDX-License-Identifier: MIT
#include "tools/inspector.h"

#include <gmp.h>

#include <cstdio>

#include "core/big_int.h"
#include "core/run_state.h"
#include "records/bitdepth.h"

void factor_depth() {
  BigInt p(1), k(1), d(1);
  gmp_printf("\nTamrisk v.%s ", kVersion);
  std::putchar('\n');

  std::printf("Please enter the exponent to be tested: ");
  std::fflush(stdout);
  gmp_scanf("%Zd", p.get());
  std::printf("Please enter the k value to be tested: ");
  std::fflush(stdout);
  gmp_scanf("%Zd", k.get());

  // Only a certainly composite exponent (1 counts as one) moves on.
  if (mpz_probab_prime_p(p, 30) == 0) mpz_nextprime(p, p);

  mpz_mul_ui(d, p, 2);
  mpz_mul(d, d, k);
  mpz_add_ui(d, d, 1);
  std::putchar('\n');
  gmp_printf("For k = %Zd and exponent = %Zd --> d = 2kp+1 = %Zd", k.get(), p.get(), d.get());
  std::putchar('\n');
  NF_writebits(d);
}
