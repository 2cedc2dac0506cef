// SPDX-License-Identifier: MIT
// The OpenCL device's tuning constants, in one place: each says what it
// trades and the range in which the program stays correct (outside it,
// only speed or memory changes unless the line says otherwise). None was
// measured on a GPU yet (none was at hand); segment_bench and kernel_bench
// print what is needed to tune them on one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// A batch or segment that has not come back after this long counts as
// lost, and the CPU takes over: the largest batch of the slowest device
// takes seconds. Any positive time is correct; too short a one gives up a
// slow but sound device.
inline constexpr std::chrono::seconds kBatchTimeout{300};

// Divisors one batch or segment can return; one with more is tested again
// on the CPU, which only degenerate exponents ever need. Any value from 1
// up is correct.
inline constexpr std::uint32_t kFoundCapacity = 1024;

// Bits of a region the sieve marks at a time in local memory (BLOCK_BITS of
// sieve.cl, 32 KiB): the plan's primes lie below it, and so do the deeper
// primes that mark within blocks; the larger ones mark straight into the
// region, at no cost for the blocks they skip. Must equal BLOCK_BITS and
// fit the device's local memory with kSieveLocalSpare bytes beside it.
inline constexpr std::uint32_t kSieveBlockBits = 262144;
inline constexpr std::size_t kSieveLocalSpare = 2048;

// Work-items of a sieve work-group: more share a block's marks among more
// items, fewer leave local memory to other groups. A power of two up to
// 256 (the sieve kernels' scans hold 256 entries).
inline constexpr std::size_t kSieveGroup = 256;

// Survivors a segment's slot gathers at once at first (256 MiB of
// offsets), and at most once grown: a segment with more is tested again in
// windows, and the room grows for the next. Any value from the most one
// window can hold up is correct.
inline constexpr std::size_t kFirstOffsets = std::size_t{1} << 26;
inline constexpr std::size_t kMostOffsets = std::size_t{1} << 28;

// Work-items of the test kernel over a sieved segment, per compute unit:
// enough to fill a unit many times over; each loops over its share.
inline constexpr std::size_t kTestItemsPerUnit = 2048;

// The deeper sieve's bound on a device: GPU programs of this kind sieve to
// between 10^6 and about 1.6 * 10^7; the deeper primes above the block size
// cost a device one step per mark only. segment_bench --device-deep-bound B
// measures others. Any bound is correct.
inline constexpr std::uint32_t kDeviceDeepSieveBound = 1u << 22;

// The deeper primes above 1 / kDeepBoundSegmentShare of a segment's offsets
// (and the block size) are left out: in short segments they mark a
// candidate or none per region, which does not pay for working out where.
// Any value from 1 up is correct.
inline constexpr std::int64_t kDeepBoundSegmentShare = 4;

// Candidates over which a device chosen by default is compared with the
// CPU (its first chunks, tested on both) before it is kept or left, when
// the CPU sieves and the device tests. Any value is correct.
inline constexpr std::size_t kComparedCandidates = std::size_t{1} << 16;

// The exponent's split for the test kernels: its leading bits up to a value
// lead are taken by the start (a step of at most 16 bits costs about half a
// squaring), each further bit costs a squaring; the cheapest split over
// leads up to kMostLead. Any lead from 1 up is correct.
inline constexpr std::uint64_t kMostLead = 4096;
