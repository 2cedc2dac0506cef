// SPDX-License-Identifier: MIT
#include "core/candidate.h"

bool divides_mersenne(mpz_ptr residue, mpz_srcptr p, mpz_srcptr d) {
  static const BigInt two(2);
  mpz_powm(residue, two, p, d);
  return mpz_cmp_ui(residue, 1) == 0;
}

void candidate_at(mpz_ptr k, mpz_ptr d, mpz_srcptr k_first, mpz_srcptr two_p, std::int64_t offset) {
  mpz_add_ui(k, k_first, static_cast<unsigned long>(offset));
  mpz_mul(d, k, two_p);
  mpz_add_ui(d, d, 1);
}

SegmentCandidates::SegmentCandidates(mpz_srcptr p_big, mpz_srcptr two_p_big, mpz_srcptr k_first_big,
                                     std::int32_t count)
    : n(count) {
  mpz_set(exponent, p_big);
  mpz_set(two_p, two_p_big);
  mpz_set(k_first, k_first_big);
  BigInt k, first, last;
  candidate_at(k, first, k_first, two_p, 0);
  candidate_at(k, last, k_first, two_p, n);
  min_bits = static_cast<unsigned>(mpz_sizeinbase(first, 2));
  max_bits = static_cast<unsigned>(mpz_sizeinbase(last, 2));
  // The largest candidate of the segment decides.
  native = mpz_fits_ulong_p(exponent) && max_bits <= 128;
  if (native) {
    p = mpz_get_ui(exponent);
    base = to_u128(first);
    step = to_u128(two_p);
  }
}

bool SegmentCandidates::divides(std::int64_t offset) const {
  BigInt r;
  residue(r, offset);
  return mpz_cmp_ui(r, 1) == 0;
}

void SegmentCandidates::residue(mpz_ptr r, std::int64_t offset) const {
  static const BigInt two(2);
  BigInt k, d;
  candidate_at(k, d, k_first, two_p, offset);
  mpz_powm(r, two, exponent, d);
}
