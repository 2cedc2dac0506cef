// SPDX-License-Identifier: MIT
// The fast walk of one segment: the same tests, reports and progress lines
// as test_segment (reference_walk.h), over a FastMask, with the candidates
// tested in batches by the native exponentiation kernels.
//
// Within each chunk the clear candidates are gathered, straight from the
// mask's words into the batch, and tested in batches in any order; the
// divisors found are then reported in increasing order of k, each confirmed
// with mpz_powm first, before the chunk's progress line, which names the
// chunk's largest offset that the plan's marks leave clear as the last
// candidate tested (whether the deeper marks struck it or not).
// The console and results.txt thus read exactly as the reference walk's.
// Exponents of 64 bits or more, and candidates beyond every kernel's bound,
// are tested with mpz_powm one by one.
#pragma once

#include <cstdint>
#include <vector>

#include "core/run_state.h"
#include "search/thread_team.h"
#include "sieve/fast_mask.h"

// With a team, each chunk's offsets are cut into one slice per member and
// tested side by side; the calling thread alone then reports, so the output
// does not depend on the team's size. Without one, the caller does it all.
void test_segment_fast(RunState& state, const FastMask& mask, ThreadTeam* team = nullptr);

// Sieves the segment of n values of k from k_first on the team (next: one
// scratch per member): the plan's marks, whose count it returns; then, when
// the context has deeper primes, the last clear offset of each twentieth is
// noted for the progress lines and the deeper marks are laid.
std::int64_t sieve_segment_fast(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                                std::int32_t n, ThreadTeam& team,
                                std::vector<std::vector<std::int64_t>>& next);
