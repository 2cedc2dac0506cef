// SPDX-License-Identifier: MIT
// The test batches of an OpenCL device: candidates base + step * offset for
// offsets the caller writes straight into the device's host memory, tested
// by the kernels of kernels.cl; and plain residues, for the tests.
//
// The batches go through two slots: reserve() gives host memory for a
// slot's offsets, launch() queues their copy, the kernel and the read of the
// results, collect() waits for them; so the device tests one batch while
// the caller fills the other. Every failure makes the call return false (or
// Failed) and leaves the device failed, with the reason (opencl_device.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/u128.h"
#include "gpu/opencl_device.h"

class OpenClBatches {
 public:
  static constexpr int kSlots = 2;

  explicit OpenClBatches(OpenClDevice& device);
  ~OpenClBatches();
  OpenClBatches(const OpenClBatches&) = delete;
  OpenClBatches& operator=(const OpenClBatches&) = delete;

  // The most offsets one batch can hold (the device's largest buffer).
  std::size_t max_batch() const;
  // Host memory for count offsets of the slot (at least one), valid until
  // the slot's next reserve(); nullptr on failure. Only once the slot's
  // last batch has been collected (or left: it is then waited for).
  std::uint32_t* reserve(int slot, std::size_t count);
  // Queues the test of the first count reserved offsets: candidate
  // base + step * offset, every one odd, at least 3 and below 2^kMaxBits,
  // the smallest of min_bits bits and the largest of max_bits; the
  // candidates whose residue ends in check_bits zero bits are flagged (the
  // residue witnesses' flags; 0: none).
  bool launch(int slot, std::uint64_t p, u128 base, u128 step, std::size_t count, unsigned min_bits,
              unsigned max_bits, unsigned check_bits = 0);
  // What a batch found: its divisors' and its flagged candidates' offsets,
  // each in any order, and how many it flagged.
  struct Findings {
    std::vector<std::uint32_t> hits, flags;
    std::uint32_t flag_count = 0;
  };
  // Waits for the slot's batch. Overflow when more than kFoundCapacity
  // divided, or more were flagged than it had room for (the findings are
  // then incomplete).
  DeviceCollected collect(int slot, Findings& found);

  // The same, at once: tests n offsets and returns their divisors' offsets.
  DeviceCollected search(std::uint64_t p, u128 base, u128 step, const std::uint32_t* offsets,
                         std::size_t n, std::vector<std::uint32_t>& hits);

  // residue[i] = 2^p mod d[i] for odd 3 <= d[i] < 2^kMaxBits; false on failure.
  bool powm2(std::uint64_t p, const u128* d, std::size_t n, u128* residue);

  struct Slot;  // its buffers and events (opencl_batches.cpp)

 private:
  OpenClDevice& device_;
  std::unique_ptr<Slot[]> slots_;
};
