// SPDX-License-Identifier: MIT
// Sieving a segment's candidate mask by the small primes from 7 up, and the
// count of the marks that the segment's sieve report shows. Prints nothing.
//
// For each table index 3 .. prime_count - 1, with q the prime there: the
// first window entry divisible by q is found by scanning the window's
// remainders; a prime with no multiple among the 66000 entries marks nothing
// (q = p, or q above 66000 whose first multiple lies further on). With j that
// first multiple, bits j + q, j + 2q, ... below N are marked when j < N - q;
// bit j itself stays clear, so a candidate equal to q is still tested. No bit
// at or above N is touched here.
//
// The report (search/reports.h) shows the share of bits 0..N-1 that are set;
// a segment of 0 bits shows 0.000.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "sieve/candidate_mask.h"
#include "sieve/prime_table.h"

// Index of the first window entry divisible by q, or -1 when none is.
std::int32_t first_multiple(const CandidateWindow& window, std::int32_t q);

// Adds the marks of the primes at table indexes 3 .. prime_count - 1 (prime_count
// is capped at the table's count).
void mark_small_primes(const SmallPrimeTable& table, std::int32_t prime_count,
                       const CandidateWindow& window, mpz_ptr mask, std::int32_t segment_size);

// Number of set bits among bits 0 .. N - 1 of the mask.
std::int64_t count_marked(mpz_srcptr mask, std::int32_t segment_size);

// 100 * marked / N in double precision; 0 for N = 0.
double sieve_percentage(std::int64_t marked, std::int32_t segment_size);

// mark_small_primes, then count_marked: the marks the sieve report shows.
std::int64_t sieve_small_primes(const SmallPrimeTable& table, std::int32_t prime_count,
                                const CandidateWindow& window, mpz_ptr mask,
                                std::int32_t segment_size);
