// SPDX-License-Identifier: MIT
#include "records/bitdepth.h"

#include <cmath>
#include <cstdio>

void NF_writebits(mpz_srcptr d) {
  // Position of the highest set bit of |d|: floor(log2 |d|) for d != 0.
  const int b = static_cast<int>(mpz_sizeinbase(d, 2)) - 1;
  std::putchar('\r');
  for (int i = 0; i < 7; ++i) std::putchar('\t');
  if (b > 999) {
    // A double cannot hold 2^1024 and beyond; past 2^1000 only the whole
    // number of bits is shown.
    std::printf("    %i bit depth   ", b);
  } else {
    const double x = std::log(mpz_get_d(d)) / 0.6931471805599453;
    std::printf("    %.5g bit depth  ", x);
  }
}
