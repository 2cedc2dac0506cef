// The fast walk of one segment: the same tests, reports and progress lines
// as test_segment (reference_walk.h), over a FastMask, with the candidates
// tested in batches by the native exponentiation kernels.
//
// Within each chunk the clear candidates are gathered and tested in batches
// in any order; the divisors found are then reported in increasing order of
// k, each confirmed with mpz_powm first, before the chunk's progress line,
// which names the chunk's largest clear offset as the last candidate tested.
// The console and results.txt thus read exactly as the reference walk's.
// Exponents of 64 bits or more, and candidates beyond every kernel's bound,
// are tested with mpz_powm one by one.
#pragma once

#include "core/run_state.h"
#include "search/thread_team.h"
#include "sieve/fast_mask.h"

// With a team, each chunk's offsets are cut into one slice per member and
// tested side by side; the calling thread alone then reports, so the output
// does not depend on the team's size. Without one, the caller does it all.
void test_segment_fast(RunState& state, const FastMask& mask, ThreadTeam* team = nullptr);
