// SPDX-License-Identifier: MIT
// The CPU backend: each segment sieved into the fast mask by a team of
// threads (sieve/sieve_segment.h), then its chunks' clear candidates tested
// by the CPU's exponentiation kernels on the same team (batch_tester.h),
// or, paired with a device (test_on_device), by an OpenCL device while the
// team gathers the next chunk (device_chunk_tests.h). What it gives back is
// the same for every size of team. One mask serves the run: a segment is
// sieved once the one before it is done, at the latest when its sieve
// report is taken, at the earliest in work_ahead.
//
// Every divisor a kernel names and every residue it flags (core/witness.h:
// the low kCpuCheckBits bits zero) is checked with the integer library
// before anything is reported, and each segment's count of flags against
// its expectation; a kernel caught wrong (a divisor that is none, a flagged
// residue that is not what it said, far too few flags) is left for the
// rest of the run, with one line on stderr:
//
//   tamrisk: CPU kernel NAME: REASON; testing with GMP from k = K
//
// and the chunks not yet reported are tested again with GMP.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/thread_team.h"
#include "core/witness.h"
#include "gpu/device_request.h"
#include "search/backend.h"
#include "search/batch_tester.h"
#include "sieve/fast_mask.h"

class DeviceChunkTests;

class CpuBackend final : public SegmentBackend {
 public:
  // The run's sieve (prepare_fast_sieve: the plan's primes and the deeper
  // ones up to kDeepSieveBound in a run) and a team of `threads` (>= 1)
  // threads.
  // check_bits: the flags' bits, kCpuCheckBits in a run (a test may ask
  // for fewer, never more than its witnesses' S_p).
  CpuBackend(FastSieveContext context, int threads, unsigned check_bits = kCpuCheckBits);
  ~CpuBackend() override;

  // From now on the chunks are tested on the OpenCL device the request
  // names, when there is one to use (device_use.h); on the CPU otherwise,
  // and from a failure of the device on.
  // check_bits: the device's flags' bits.
  void test_on_device(const DeviceRequest& request, unsigned check_bits = kDeviceCheckBits);

  void submit(const SegmentPlan& plan) override;
  SieveReport take_sieve() override;
  ChunkReport take_chunk() override;
  void work_ahead() override;
  // With a team of several threads: a team of one is the caller alone.
  bool works_ahead() const override { return team_.size() > 1; }
  void finish() override;

  int threads() const { return team_.size(); }

 private:
  struct Queued {
    const SegmentPlan* plan = nullptr;
    bool sieved = false;
    SieveReport sieve;
    std::unique_ptr<CpuChunkTests> tests;
    std::size_t next_chunk = 0;
    std::int64_t tested = 0, flagged = 0;  // by the kernel so far
  };
  void sieve(Queued& segment);
  // The next chunks' outcomes, tested at once (several a round on a large team).
  void test_round(Queued& segment);
  void test_chunk_on_device(Queued& segment);
  // The fault of the kernel's tests of a range, or "" when every divisor
  // and every flag it gave holds; the checked flags in flags.
  std::string check(const Queued& segment, const RangeTests& found, std::vector<Flag>& flags);
  // Leaves the kernel for GMP, with its line, from the offset on.
  void leave_kernel(Queued& segment, const std::string& why, std::int64_t from);
  // The outcomes of chunks [first, last] from their tests.
  void split(const Queued& segment, std::size_t first, std::size_t last, const RangeTests& found,
             const std::vector<Flag>& flags);

  ThreadTeam team_;
  FastSieveContext context_;
  FastMask mask_;
  std::deque<Queued> queue_;
  std::deque<ChunkReport> ready_;  // of the oldest segment, in order
  std::unique_ptr<DeviceChunkTests> device_;
  unsigned check_bits_;
  bool gmp_only_ = false;  // a kernel has been caught wrong
};
