// SPDX-License-Identifier: MIT
// Residue witnesses: a rare, deterministic subset of the candidates whose
// residue r = 2^p mod d every test path computes anyway, kept so that a run
// can be checked after the fact.
//
// A candidate is *flagged* by the path that tests it when the low S_c bits
// of r are zero (about one tested candidate in 2^S_c); the CPU recomputes
// every flagged residue by another route, so a path that computes wrong
// residues is caught. A *witness* of a run is a candidate of its k range
// that the plan's marks leave clear, that is prime (every sieve leaves a
// prime candidate clear, so every path tests it) and whose residue has its
// low S_p bits zero: the same set on every path, every machine, every
// resume, and one nobody can name without computing the residues of the
// range's prime candidates.
//
// The expectations here are heuristic and exact enough for a six-sigma
// count check: a candidate d = 2kp + 1 is prime with probability
// (2p / phi(2p)) / ln d (primes among numbers 1 mod 2p), half the k give
// d = +-1 mod 8 (the others are struck), and the low S bits of r are zero
// with probability 2^-S.
#pragma once

#include <gmp.h>

#include <cstdint>

// Flag bits of the CPU's kernels (checked with GMP) and of a device
// (checked with the fastest CPU kernel while the device works).
inline constexpr unsigned kCpuCheckBits = 16;
inline constexpr unsigned kDeviceCheckBits = 10;
// S_p is the smallest value from kLeastWitnessBits up for which the whole
// run expects at most kMostWitnesses witnesses.
inline constexpr unsigned kLeastWitnessBits = 16;
inline constexpr double kMostWitnesses = 256;
// A count below its expectation by more than this many standard deviations
// is a fault (with at least kLeastExpectedFlags expected, for the flags).
inline constexpr double kCountSigmas = 6;
inline constexpr double kLeastExpectedFlags = 100;

// The expected number of prime candidates that the plan's marks leave
// clear (d = +-1 mod 8) among k_lo <= k < k_hi, for the exponent p.
double expected_prime_candidates(mpz_srcptr p, mpz_srcptr k_lo, mpz_srcptr k_hi);

// S_p for a run over k_lo <= k < k_hi.
unsigned witness_bits(mpz_srcptr p, mpz_srcptr k_lo, mpz_srcptr k_hi);

// Whether count falls short of the expectation by more than kCountSigmas
// standard deviations (a Poisson count), when at least `least` is expected.
bool far_too_few(double count, double expected, double least);
