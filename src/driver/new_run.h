// SPDX-License-Identifier: MIT
// New-run dialogue: asks for the exponent and the two bit depths, refuses an
// exponent that is zero, a known Mersenne prime exponent or not prime (and a
// negative one), refuses bit depths outside 0..4096 or not finite, raises a
// start depth below 2 to 2, and echoes the range.
#pragma once

#include <gmp.h>

#include "core/run_state.h"

// Exponents below this are looked up in the table of known Mersenne primes.
inline constexpr unsigned long kKnownLookupLimit = 79999999;

// Largest bit depth accepted for a new run: keeps the candidate window and
// the mask of a segment within memory.
inline constexpr float kMaxDepth = 4096.0f;

// 1 when p is the exponent of one of the 42 known Mersenne primes of the table.
int MersennePrime(mpz_srcptr p);

// Fills exponent, two_p, start_bits and end_bits from standard input.
// Returns 0 when the input is accepted, 1 when it is refused (the refusal
// message, if any, has been printed).
int read_new_run(RunState& state);
