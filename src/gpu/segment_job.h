// SPDX-License-Identifier: MIT
// A segment as the device's sieve and tests take it (sieve.cl, kernels.cl):
// the job (its layout, candidates and chunks), what comes back, and the
// tables the kernels read: the regions of the fast mask's layout (the head,
// the 16 lanes, the tail; or one plain region), REGION_INTS ints a region,
// and the blocks of every region, two ints a block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/candidate.h"
#include "core/chunks.h"
#include "core/u128.h"
#include "gpu/opencl_api.h"
#include "sieve/fast_mask.h"

// One segment of n values of k from k_first (below 2^124), laid out as
// fast_layout gives it; the chunks whose last clear offsets are wanted;
// candidates base + step * offset of min_bits to max_bits bits (native,
// below 2^kMaxBits).
struct DeviceSegmentJob {
  u128 k_first = 0;
  std::int32_t n = 0;
  FastLayout layout;
  std::vector<Chunk> chunks;
  std::uint64_t p = 0;
  u128 base = 0, step = 0;
  unsigned min_bits = 0, max_bits = 0;
  // The deeper primes up to this bound mark the segment (of those loaded).
  std::uint32_t deep_bound = ~std::uint32_t{0};
  // The candidates whose residue ends in this many zero bits are flagged
  // (core/witness.h; 0: none).
  unsigned check_bits = 0;
};

// The job of a native segment: its layout from ctx, its candidates, its
// chunks (all deeper primes of ctx in use).
DeviceSegmentJob segment_job(const FastSieveContext& ctx, const SegmentCandidates& segment,
                             const std::vector<Chunk>& chunks);

struct DeviceSegmentResult {
  std::int64_t marked = 0;           // the plan's marks among offsets 0 .. n - 1
  std::int64_t tested = 0;           // the candidates tested
  std::vector<std::int64_t> last;    // each chunk's last offset the plan leaves clear, or -1
  std::vector<std::uint32_t> hits;   // offsets of the divisors found (any order)
  std::vector<std::uint32_t> flags;  // offsets of the flagged candidates (any order)
  std::uint32_t flag_count = 0;      // and how many were flagged
};

// Ints a region takes in the region table (REGION_INTS of sieve.cl): its
// base, stride, bits, first word, limit, the t of offset n, two unused.
inline constexpr int kRegionInts = 8;

// The region table of the job; returns the 32-bit words the regions take.
std::int64_t region_table(const DeviceSegmentJob& job, std::vector<cl_int>& table);

// (region, first t) of every block of `block_bits` bits of every region.
void block_table(const std::vector<cl_int>& regions, std::uint32_t block_bits,
                 std::vector<cl_int>& table);

// The most survivors a window of `width` offsets of the job can hold.
std::size_t window_bound(const DeviceSegmentJob& job, std::size_t width);

// The widest window whose survivors `capacity` offsets hold (periods > 0).
std::int64_t window_for(std::size_t capacity);
