// SPDX-License-Identifier: MIT
// The candidates of a segment: offset j stands for k = k_first + j and the
// divisor d = 2kp + 1 of M(p) = 2^p - 1. Here are the offset's k and d, the
// integer library's verdict on a candidate (the check every fast path is
// held to), and the segment's candidates in the native width where they
// fit it.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "core/big_int.h"
#include "core/u128.h"

// True when d divides 2^p - 1, i.e. 2^p mod d = 1. residue is scratch.
bool divides_mersenne(mpz_ptr residue, mpz_srcptr p, mpz_srcptr d);

// k <- k_first + offset and d <- 2kp + 1 (two_p = 2p).
void candidate_at(mpz_ptr k, mpz_ptr d, mpz_srcptr k_first, mpz_srcptr two_p, std::int64_t offset);

// The candidates of the segment of n values of k from k_first: d = base +
// step * j for the offsets j in [0, n] (base = 2 k_first p + 1, step = 2p),
// with the sizes of the first and the last; the u128 values only where the
// segment is native (p below 2^64, every candidate of at most 128 bits).
struct SegmentCandidates {
  SegmentCandidates(mpz_srcptr p, mpz_srcptr two_p, mpz_srcptr k_first, std::int32_t n);

  // Whether the candidate of the offset divides M(p), by the integer library.
  bool divides(std::int64_t offset) const;
  // r <- 2^p mod d of the offset's candidate, by the integer library.
  void residue(mpz_ptr r, std::int64_t offset) const;

  BigInt exponent, two_p, k_first;
  std::int32_t n;
  unsigned min_bits = 0, max_bits = 0;  // of the candidates at offsets 0 and n
  bool native = false;
  std::uint64_t p = 0;
  u128 base = 0, step = 0;
};
