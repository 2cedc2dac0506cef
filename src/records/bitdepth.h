// SPDX-License-Identifier: MIT
// Bit-depth display: shows log2(d) of one divisor at a fixed column of the
// current console line (a carriage return and seven tabs, then the figure).
// Below 2^1000 the figure is the fractional logarithm ("%.5g"); from 2^1000
// on it is the whole number floor(log2 |d|). No newline is written.
#pragma once

#include <gmp.h>

void NF_writebits(mpz_srcptr d);
