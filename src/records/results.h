// SPDX-License-Identifier: MIT
// The results log results.txt in the working directory: one line per factor
// found ("M<p> has a factor: <d>") and one per run that found none
// ("M<p> no factor from <s> bits to <e> bits."). Records are only appended,
// each by one open, write, flush to disk and close.
//
// Both writers return false when the record could not be written; they then
// have printed one line on stderr naming the file and the reason, and never
// write through a stream that failed to open.
#pragma once

#include <gmp.h>

inline constexpr const char* kResultsFile = "results.txt";

// Appends the factor record of divisor d of M(p).
bool writeresults(mpz_srcptr p, mpz_srcptr d);

// Appends the no-factor record for the range start_bits..end_bits and echoes
// it on the console on a line of its own.
bool writeendfactor(mpz_srcptr p, float start_bits, float end_bits);
