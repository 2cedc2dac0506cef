// SPDX-License-Identifier: MIT
// The device backend: whole segments on an OpenCL device (sieve, count,
// last clear offsets and tests there; gpu/opencl_segments.h), two in
// flight: while the loop reports one, the device works on the next. The
// divisors it names are confirmed with the integer library.
//
// A segment the device cannot take (an exponent of 64 bits or more,
// candidates of more than 124) is done by the CPU backend beside it. A
// failure of the device (a launch refused, a segment lost or late, a divisor
// that is none, a flagged residue the CPU's fastest kernel does not
// confirm, far too few flags: core/witness.h) hands the rest of the run to
// the CPU backend, from the first segment not yet reported; device_use.h
// writes the line. A device chosen by
// default does its first segment beside the CPU, which must agree with it
// and be slower, or the device is left.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "core/witness.h"
#include "gpu/device_request.h"
#include "gpu/opencl_segments.h"
#include "search/backend.h"
#include "search/cpu_backend.h"
#include "search/device_use.h"
#include "sieve/fast_mask.h"
#include "sieve/prime_table.h"

class DeviceBackend final : public SegmentBackend {
 public:
  // The device's sieve: the plan's primes and the deeper ones up to
  // kDeviceDeepSieveBound; cpu takes what the device does not.
  // check_bits: the device's flags' bits (kDeviceCheckBits in a run).
  DeviceBackend(const DeviceRequest& request, const SmallPrimeTable& table,
                std::int32_t prime_count, mpz_srcptr p, std::unique_ptr<CpuBackend> cpu,
                unsigned check_bits = kDeviceCheckBits);
  ~DeviceBackend() override;

  void submit(const SegmentPlan& plan) override;
  SieveReport take_sieve() override;
  ChunkReport take_chunk() override;
  void work_ahead() override;
  bool works_ahead() const override { return cpu_->works_ahead(); }
  void finish() override;

  // The device in use or left (nullptr when none was opened).
  OpenClDevice* device() const { return use_.opened(); }

 private:
  struct Queued {
    const SegmentPlan* plan = nullptr;
    int slot = -1;            // with the device; -1: the CPU's
    bool with_cpu = false;    // submitted to the CPU backend
    std::clock_t queued = 0;  // when it went to the device
    std::size_t next_chunk = 0;
  };
  // The device's segments while it takes them, else nullptr.
  OpenClSegments* segments();
  // Hands the segment to the CPU backend (once).
  void to_cpu(Queued& segment);
  // The device's results of the oldest segment, confirmed; false when the
  // CPU must do it (the device has then been left, with its line).
  bool collect(Queued& segment);
  // The oldest segment done by the CPU beside the device's results, on
  // trial: the CPU's outcomes are kept for the loop (ready_, ready_sieve_)
  // and the device kept or left.
  void trial(Queued& segment);

  OpenClUse use_;
  FastSieveContext device_primes_;
  std::unique_ptr<CpuBackend> cpu_;
  std::unique_ptr<OpenClSegments> segments_;
  bool loaded_ = false;  // the primes are on the device
  int next_slot_ = 0;
  std::deque<Queued> queue_;
  // The oldest segment's outcomes, when the device (or a trial) gave them.
  DeviceSegmentResult result_;
  std::deque<ChunkReport> ready_;
  SieveReport ready_sieve_;  // of a trial
  unsigned check_bits_;
  std::vector<Flag> flags_;  // the oldest segment's, checked
};
