// SPDX-License-Identifier: MIT
// The CPU path's tuning constants, in one place: each says what it trades
// and the range in which the program stays correct (outside it, only speed
// or memory changes unless the line says otherwise). Figures are from
// segment_bench and kernel_bench.
#pragma once

#include <cstddef>
#include <cstdint>

// Candidates handed to an exponentiation kernel at once: larger batches
// spread the call and the sort of the hits over more candidates, smaller
// ones keep each member's buffers in the L1/L2 caches. Any multiple of 64
// from 64 up is correct; 4096 is a whole number of every kernel's blocks.
inline constexpr std::size_t kKernelBatch = 4096;

// The deeper sieve's bound on the CPU: primes above the plan's up to here
// strike candidates that cannot divide M(p), sparing their tests, at one
// step per mark. Bounds of 3*10^5, 10^6, 2*10^6 and 4*10^6 gave totals of
// 0.52, 0.52, 0.54, 0.59 s at p = 86249, 60 bits (0.53 s without), and
// 0.67, 0.65, 0.66, 0.70 s at p = 3321928097, 68 bits (0.70 s without):
// beyond 10^6 a prime's marks cost more than the tests they spare. Any
// value is correct (0: no deeper sieve); above 2^31 the primes' table grows
// large.
inline constexpr std::uint32_t kDeepSieveBound = 1000000;

// Primes below this mark a lane a whole word at a time, from precomputed
// word patterns (one per shift), instead of bit by bit: the patterns cost a
// table of q words per prime and pay while a prime marks more than one bit
// of a 64-bit word. Correct for any value from 7 up to 64.
inline constexpr std::uint32_t kPatternPrimeLimit = 64;

// The sieve's blocks, by cache level: a small block is this fraction of the
// L1 data cache and a large block this fraction of the L2 (the rest holds
// the primes' state and the other data in use), within the bounds below.
// Larger blocks mean fewer passes over each prime's state, smaller ones
// fewer cache misses per mark. Any block of at least 64 bits is correct.
inline constexpr std::int64_t kSmallBlockPerL1 = 2;  // half the L1 data cache
inline constexpr std::int64_t kLargeBlockPerL2 = 2;  // half the L2 cache
inline constexpr std::int64_t kSmallBlockMinBits = std::int64_t{1} << 14;
inline constexpr std::int64_t kSmallBlockMaxBits = std::int64_t{1} << 20;
inline constexpr std::int64_t kLargeBlockMaxBits = std::int64_t{1} << 25;
// Primes below this fraction of a small block (they mark each small block
// at least this many times) go through the small blocks; the others through
// the large ones. Any value from 1 up is correct.
inline constexpr std::int64_t kSmallPrimeMarksPerBlock = 4;

// A team tests members / kMembersPerChunk chunks of a segment per round
// (at least one; a round ends in a barrier of every member), so teams of 8
// threads and more test several at once. Fewer rounds save barriers on
// large teams; more chunks a round make the last round's imbalance larger.
// Any value from 1 up is correct.
inline constexpr int kMembersPerChunk = 4;
