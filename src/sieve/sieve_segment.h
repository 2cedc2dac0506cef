// SPDX-License-Identifier: MIT
// The sieve of one segment, by itself: every mark of the segment of n
// values of k from k_first laid into the fast mask by a team of threads,
// the work shared among its members (the first multiples and roots, the
// lanes' pieces). The plan's marks come first and are counted; when the
// context has deeper primes, each chunk's last offset that the plan leaves
// clear is then noted in mask.plan_last (for the progress lines, which
// name it whether the deeper marks strike it or not) and the deeper marks
// are laid. The mask is the same for every size of team.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "core/thread_team.h"
#include "sieve/fast_mask.h"

// Returns the plan's marks among offsets 0 .. n - 1.
std::int64_t sieve_segment(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                           std::int32_t n, ThreadTeam& team);
