// SPDX-License-Identifier: MIT
// The tests of a run's chunks on an OpenCL device, two chunks in flight: the
// team gathers a chunk's clear offsets straight from the mask into the
// device's host memory (32-bit offsets from the segment's first candidate)
// and the device tests them while the team gathers the next one, or sieves
// the next segment. Divisors come back as offsets, in increasing order, for
// report_chunk (fast_walk.h), which confirms each with mpz_powm: the output
// is byte for byte that of the CPU path.
//
// The device is opened when the first chunk that it can take is queued
// (exponent below 2^64, candidates below 2^124). Chunks it cannot take are
// tested by the CPU when they are taken; so is every chunk whose results
// are not in once the device has failed. A failure prints one line on
// stderr ("tamrisk: OpenCL device ...: REASON; testing on the CPU from k =
// K") and the walk goes on on the CPU, losing nothing and repeating nothing;
// so does a device that names a divisor that GMP does not confirm.
// Whenever a device is used, one line on stderr names it; a device chosen
// by default (Automatic) that tests its first chunks (kCompared candidates)
// more slowly than the CPU does is left, and that line says so.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "gpu/device_request.h"
#include "gpu/opencl_device.h"
#include "search/fast_walk.h"
#include "search/thread_team.h"
#include "sieve/fast_mask.h"

// Whether a run with this request tests on a device at all: not for Cpu,
// and not by default while TAMRISK_KERNEL names a CPU kernel (or
// "portable"), which asks for the CPU's kernels.
bool wants_opencl(const DeviceRequest& request);

class OpenClWalk {
 public:
  OpenClWalk(const DeviceRequest& request, ThreadTeam& team);

  // Queues the chunk [from, to) of a segment: mask, candidates and CPU tests
  // must stay as they are until the chunk is taken. At most two chunks are
  // queued at a time.
  void submit(const FastMask& mask, const SegmentCandidates& segment, CpuChunkTests& cpu,
              std::int32_t from, std::int32_t to);

  // The divisors' offsets of the oldest queued chunk, in increasing order.
  std::vector<std::int64_t> take();

  // After the last chunk: a device chosen by default whose comparison with
  // the CPU did not come to its end is named (or left) on what was seen.
  void finish();

  // Candidates over which a device chosen by default is compared with the
  // CPU (its first chunks, tested on both) before it is kept or left.
  static constexpr std::size_t kCompared = std::size_t{1} << 16;

  // Chunks tested on the device and on the CPU so far, and the device.
  std::size_t device_chunks() const { return device_chunks_; }
  std::size_t cpu_chunks() const { return cpu_chunks_; }
  OpenClDevice* device() const { return device_; }

 private:
  struct Queued {
    const FastMask* mask;
    const SegmentCandidates* segment;
    CpuChunkTests* cpu;
    std::int32_t from, to;
    int slot;           // -1: for the CPU
    std::size_t count;  // candidates handed to the device
  };

  bool acquire();
  // Keeps or leaves the device chosen by default, with its line.
  void decide();
  // Leaves the device for the CPU from the chunk `first` on, with its line.
  void give_up(const Queued& first, const std::string& why);
  std::vector<std::int64_t> on_cpu(const Queued& chunk);

  DeviceRequest request_;
  ThreadTeam& team_;
  OpenClDevice* device_ = nullptr;
  bool tried_ = false;    // the device was asked for
  bool active_ = false;   // it takes chunks
  bool checked_ = false;  // the comparison with the CPU is done (Automatic)
  double compared_device_ = 0, compared_cpu_ = 0;  // seconds of the chunks compared
  std::size_t compared_count_ = 0;                 // and their candidates
  int next_slot_ = 0;
  std::deque<Queued> queue_;
  std::vector<std::size_t> counts_, starts_;
  std::vector<std::uint32_t> hits_;
  std::size_t device_chunks_ = 0, cpu_chunks_ = 0;
};
