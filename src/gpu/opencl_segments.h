// SPDX-License-Identifier: MIT
// Whole segments on an OpenCL device: the regions of the fast mask's
// layout (sieve/fast_mask.h) sieved by the kernels of sieve.cl with the
// same marks as the CPU's, counted, each chunk's last clear offset found,
// the survivors gathered and tested there; only the count, those offsets
// and the divisors come back. Two slots, so that the device works on one
// segment while the host reports the other. Every failure leaves the device
// failed, with the reason (opencl_device.h).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "gpu/cl_handles.h"
#include "gpu/opencl_device.h"
#include "gpu/segment_job.h"
#include "sieve/fast_mask.h"

class OpenClSegments {
 public:
  static constexpr int kSlots = 2;

  explicit OpenClSegments(OpenClDevice& device);
  ~OpenClSegments();
  OpenClSegments(const OpenClSegments&) = delete;
  OpenClSegments& operator=(const OpenClSegments&) = delete;

  // The run's primes, once before the first segment: the plan's and the
  // deeper ones of ctx, whose marks the device lays exactly as the fast mask.
  bool load_primes(const FastSieveContext& ctx);

  // Queues the segment in the slot (its results read back without waiting);
  // collect waits for them. Overflow: more divisors than kFoundCapacity, or
  // more flags than the slot had room for (the lists then hold what fitted;
  // the CPU tests the segment).
  bool submit(int slot, const DeviceSegmentJob& job);
  DeviceCollected collect(int slot, DeviceSegmentResult& result);

  // For the tests: the marks of a segment, without the deeper ones or with
  // them, region by region (the head, the 16 lanes, the tail; or one plain
  // region), as 32-bit words (bit t of word t / 32).
  bool marks(const DeviceSegmentJob& job, bool deeper,
             std::vector<std::vector<std::uint32_t>>& regions);

  struct Slot;  // its buffers, tables and events (opencl_segments.cpp)

 private:
  OpenClDevice& device_;
  std::unique_ptr<Slot[]> slots_;
  // The run's primes (uint4: q, p mod q, (2p)^-1 and 60^-1 mod q; the
  // plan's, then the deeper ones; those below the block size first).
  ClMem primes_;
  std::uint32_t plans_ = 0, by_word_ = 0, block_primes_ = 0;
  std::vector<std::uint32_t> prime_values_;  // the primes of the table, in its order
};
