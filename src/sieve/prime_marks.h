// SPDX-License-Identifier: MIT
// The marks of the plan's sieving primes one bit at a time: where each
// prime first marks the segment, a piece of a lane or a plain region, and
// the strides of marks through a block of a lane (the primes from 64 up;
// those below take their first marks from here and the rest from
// pattern_marks.h). The deeper marks (deep_marks.h) use the same strides.
//
// First multiples come from a modular inverse of 2p instead of a scan of
// the 66000-candidate window, with the window's meaning kept: a prime whose
// first multiple lies at or beyond offset 66000 marks nothing, the first
// multiple itself stays clear, nothing is marked when j >= N - q, and a
// prime dividing 2p has no multiple.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bit_words.h"
#include "sieve/sieve_context.h"

// first[i] for the plan's primes i in [from, to): the first multiple j of
// the prime among the segment's n candidates, or -1 when it marks nothing.
void plan_first_multiples(const FastSieveContext& ctx, mpz_srcptr k_first, std::int32_t n,
                          std::size_t from, std::size_t to, std::vector<std::int32_t>& first);

// The plan's marks in a plain region whose bit 0 is offset lo, among the
// offsets [from, min(to, n)). Calls whose ranges start whole words apart
// (from - lo a multiple of 64) and do not overlap touch different words.
void mark_plain_plan(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                     std::int64_t to, std::int32_t n, const FastSieveContext& ctx,
                     const std::vector<std::int32_t>& first);

// next[i] for every plan prime: its first mark in the piece [t_from, t_to)
// of the lane of offsets base + 60 t (past its first multiple, which stays
// clear), or t_to when it marks none there.
void plan_lane_starts(std::int64_t base, std::int64_t t_from, std::int64_t t_to,
                      const FastSieveContext& ctx, const std::vector<std::int32_t>& first,
                      std::vector<std::int64_t>& next);

// For the primes [from, to) of primes: sets bits next[i], next[i] + q, ...
// below end, and leaves next[i] at the first at or past end. A lane goes
// through a block this way, one tier of primes at a time.
void mark_strides(std::uint64_t* words, const std::uint32_t* primes, std::size_t from,
                  std::size_t to, std::int64_t* next, std::int64_t end);

// The smallest t >= 0 with base + 60 t = root (mod q), inv_sixty being
// 60^-1 mod q.
inline std::int64_t lane_root(std::int64_t root, std::int64_t base, std::int64_t q,
                              std::int64_t inv_sixty) {
  return ((root - base) % q + q) % q * inv_sixty % q;
}

// The first of t, t + q, t + 2q, ... at or past from.
inline std::int64_t stride_from(std::int64_t t, std::int64_t from, std::int64_t q) {
  return t < from ? t + (from - t + q - 1) / q * q : t;
}

// Sets the bits pos - lo for pos, pos + q, ... in [from, end).
inline void mark_plain_stride(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                              std::int64_t end, std::int64_t q, std::int64_t pos) {
  for (pos = stride_from(pos, from, q); pos < end; pos += q) set_bit(words, pos - lo);
}
