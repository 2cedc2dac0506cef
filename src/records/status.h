// SPDX-License-Identifier: MIT
// The checkpoint status.txt in the working directory: six lines holding the
// exponent, the k from which to go on, the two divisor bounds and the two bit
// depths ("%3.3f"). writestatus replaces it atomically after every segment;
// readstatus loads it for a resumed run.
#pragma once

#include <gmp.h>

#include <string>

#include "core/run_state.h"

inline constexpr const char* kStatusFile = "status.txt";

// Replaces status.txt. Returns false (after one line on stderr naming the
// file and the reason) when it could not be written; the old file then
// stays as it was.
bool writestatus(mpz_srcptr p, mpz_srcptr k, mpz_srcptr d_low, mpz_srcptr d_high,
                 float start_bits, float end_bits);

// The text writestatus stores, for tests and for the writer itself.
std::string status_text(mpz_srcptr p, mpz_srcptr k, mpz_srcptr d_low, mpz_srcptr d_high,
                        float start_bits, float end_bits);

// Fills exponent, k_first, d_low, d_high, start_bits and end_bits from
// status.txt (values separated by any white space). Each value is judged as
// the whole token read, every byte of it: at most one sign, then the number,
// nothing else. Returns false, after one line on stderr naming the file and
// what is wrong, when the file is missing, unreadable or over 1 MiB, holds
// fewer than six values, a value that does not parse (a zero byte, a second
// sign or junk inside it), zero bytes after the six values, an exponent
// below 2, a negative k or a depth that is not finite; the state is then not
// to be used.
bool readstatus(RunState& state);
