// SPDX-License-Identifier: MIT
// The tests of a CPU-sieved segment's chunks on an OpenCL device, two chunks
// in flight: the team gathers a chunk's clear offsets straight from the
// mask into the device's host memory (32-bit offsets from the segment's
// first candidate) while the device tests the one before. Divisors come
// back as offsets, each confirmed with the integer library.
//
// The device is opened when the first chunk it can take is submitted
// (exponent below 2^64, candidates below 2^124); chunks it cannot take are
// tested by the CPU (CpuChunkTests) when they are taken, and so is every
// chunk whose results are not in once the device has failed or named a
// divisor that is none or a flagged residue (core/witness.h) that the CPU's
// fastest kernel does not confirm (device_use.h writes the line). A device
// chosen by
// default has its first chunks (kComparedCandidates) tested on both and is
// left if it is slower than the CPU or disagrees with it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/candidate.h"
#include "core/thread_team.h"
#include "gpu/device_request.h"
#include "gpu/opencl_batches.h"
#include "search/batch_tester.h"
#include "search/device_use.h"
#include "sieve/fast_mask.h"

class DeviceChunkTests {
 public:
  // check_bits: the device's flags' bits (kDeviceCheckBits in a run).
  DeviceChunkTests(const DeviceRequest& request, ThreadTeam& team, unsigned check_bits);

  // Queues the chunk [from, to) of a segment: mask, candidates and CPU tests
  // must stay as they are until the chunk is taken. At most two chunks are
  // queued at a time.
  void submit(const FastMask& mask, const SegmentCandidates& segment, CpuChunkTests& cpu,
              std::int32_t from, std::int32_t to);

  // The tests of the oldest queued chunk: the divisors' offsets (each
  // confirmed when the device gave them) and the flags, increasing.
  RangeTests take();

  // After the last chunk: a device chosen by default whose comparison with
  // the CPU did not come to its end is named (or left) on what was seen.
  void finish();

 private:
  struct Queued {
    const FastMask* mask;
    const SegmentCandidates* segment;
    CpuChunkTests* cpu;
    std::int32_t from, to;
    int slot;           // -1: for the CPU
    std::size_t count;  // candidates handed to the device
  };

  // The device's batches while it takes chunks, else nullptr.
  OpenClBatches* batches();
  // Leaves the device for the CPU from the chunk `first` on, with its line.
  void give_up(const Queued& first, const std::string& why);
  RangeTests on_cpu(const Queued& chunk);
  // Writes the chunk's clear offsets into host, the team's members side
  // by side; their number.
  std::size_t count_clear(const Queued& chunk);
  void gather(const Queued& chunk, std::uint32_t* host);

  OpenClUse use_;
  ThreadTeam& team_;
  std::unique_ptr<OpenClBatches> batches_;
  int next_slot_ = 0;
  std::deque<Queued> queue_;
  std::vector<std::size_t> counts_, starts_;
  unsigned check_bits_;
  OpenClBatches::Findings found_;
  double compared_device_ = 0, compared_cpu_ = 0;  // seconds of the chunks on trial
  std::size_t compared_count_ = 0;                 // and their candidates
};
