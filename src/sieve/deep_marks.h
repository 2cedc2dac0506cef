// SPDX-License-Identifier: MIT
// The deeper sieve's marks (sieve_context.h): every offset whose candidate
// a deeper prime divides, the prime's own candidate included. They are laid
// once the plan's marks are whole and only add to them; a lane's piece goes
// through them block by block, with the same strides as the plan's primes
// (prime_marks.h).
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sieve/sieve_context.h"

// roots[i] for the deeper primes i in [from, to): the offset in [0, q)
// whose candidate the prime divides.
void deep_roots(const FastSieveContext& ctx, mpz_srcptr k_first, std::size_t from, std::size_t to,
                std::vector<std::uint32_t>& roots);

// The deeper marks of a plain region whose bit 0 is offset lo, among the
// offsets [from, min(to, n)).
void mark_plain_deep(std::vector<std::uint64_t>& words, std::int64_t lo, std::int64_t from,
                     std::int64_t to, std::int32_t n, const FastSieveContext& ctx,
                     const std::vector<std::uint32_t>& roots);

// The deeper marks of the piece [t_from, t_to) of the lane of offsets
// base + 60 t: only bits of the piece are written, so pieces cut at whole
// words stay apart. next is scratch.
void mark_deep_lane(std::vector<std::uint64_t>& words, std::int64_t base, std::int64_t t_from,
                    std::int64_t t_to, const FastSieveContext& ctx,
                    const std::vector<std::uint32_t>& roots, std::vector<std::int64_t>& next);
