// SPDX-License-Identifier: MIT
// The sieve of one segment, by itself: every mark of the segment of n
// values of k from k_first laid into the fast mask (fast_mask.h) by a team
// of threads, the work shared among its members (the first multiples and
// roots, the lanes' pieces). The plan's marks come first and are counted;
// when the context has deeper primes, each chunk's last offset that the
// plan leaves clear is then noted in mask.plan_last (for the progress
// lines, which name it whether the deeper marks strike it or not) and the
// deeper marks are laid. The mask is the same for every size of team.
//
// This is the one place that orders a segment's marks; the tiers that lay
// them are pattern_marks.h (primes below 64, by word patterns),
// prime_marks.h (the plan's other primes, bit by bit, through small and
// large blocks) and deep_marks.h (the deeper primes).
#pragma once

#include <gmp.h>

#include <cstdint>
#include <functional>

#include "core/thread_team.h"
#include "sieve/fast_mask.h"

// Returns the plan's marks among offsets 0 .. n - 1.
std::int64_t sieve_segment(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                           std::int32_t n, ThreadTeam& team);

// Runs job(share) once for every share 0 .. shares - 1, in any order or at
// the same time, and returns when every one has returned, with all they
// wrote visible to the caller (as ThreadTeam::run does for its members).
using ShareRunner = std::function<void(const std::function<void(int)>& job)>;

// sieve_segment with the work cut into `shares` shares (>= 1) handed to
// run: no two shares write the same word, so they may run at the same
// time. sieve_segment is this with a share per member of the team; the
// tests run many shares on one thread, last first, to show that no share
// wipes another's marks.
std::int64_t sieve_segment_in_shares(FastMask& mask, const FastSieveContext& ctx,
                                     mpz_srcptr k_first, std::int32_t n, int shares,
                                     const ShareRunner& run);

// Every mark of the segment, on the calling thread alone.
void build_fast_mask(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                     std::int32_t n);
