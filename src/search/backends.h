// SPDX-License-Identifier: MIT
// The backend a run's segments go to (backend.h), from what the run asks
// for: the reference path (the literal GMP walk, on one thread), or the
// fast path on `threads` threads, on the OpenCL device that `device` asks
// for when there is one to use (whole segments there: DeviceSieve::OnDevice,
// what a run does), or with the CPU's sieve and each chunk tested there
// (OnCpu: kept for comparisons and as the tests' second way to the same
// bytes), else on the CPU.
#pragma once

#include <cstdint>
#include <memory>

#include "core/run_state.h"
#include "core/witness.h"
#include "gpu/device_request.h"
#include "search/backend.h"
#include "sieve/prime_table.h"

enum class SearchPath { Fast, Reference };
enum class DeviceSieve { OnDevice, OnCpu };

struct BackendChoice {
  SearchPath path = SearchPath::Fast;
  int threads = 1;  // >= 1
  DeviceRequest device{DeviceRequest::Kind::Cpu};
  DeviceSieve sieve = DeviceSieve::OnDevice;
  // The flags' bits on the CPU and on a device (core/witness.h); a test may
  // ask for fewer, to see many witnesses in a short range, never more than
  // the witnesses' S_p.
  unsigned cpu_check_bits = kCpuCheckBits;
  unsigned device_check_bits = kDeviceCheckBits;
};

// The run's exponent and sieve_prime_count must be set; the table stays as
// it is for the backend's life.
std::unique_ptr<SegmentBackend> make_backend(const RunState& state, const SmallPrimeTable& table,
                                             const BackendChoice& choice);
