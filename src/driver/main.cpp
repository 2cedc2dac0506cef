// SPDX-License-Identifier: MIT
// Entry point: chooses the mode from the command line and runs it.
#include <cstdint>
#include <optional>

#include "driver/modes.h"
#include "driver/run.h"
#include "driver/threads.h"
#include "gpu/device_request.h"
#include "tools/bench.h"
#include "tools/inspector.h"

// A test build may shorten the segments; the shipped program uses kSegmentK.
#ifndef TAMRISK_SEGMENT_K
#define TAMRISK_SEGMENT_K kSegmentK
#endif
// A test build may keep a device's segments sieved on the CPU.
#ifdef TAMRISK_SIEVE_ON_CPU
constexpr DeviceSieve kDeviceSieve = DeviceSieve::OnCpu;
#else
constexpr DeviceSieve kDeviceSieve = DeviceSieve::OnDevice;
#endif

int main(int argc, char** argv) {
  constexpr std::int32_t segment_length = TAMRISK_SEGMENT_K;
  static_assert(segment_length > 0 && segment_length <= kSegmentK);
  const Mode mode = parse_mode(argc, argv);
  // A run's thread count and device are settled before anything is
  // printed or written.
  int threads = 1;
  DeviceRequest device;
  if (mode == Mode::NewRun || mode == Mode::Resume) {
    const std::optional<int> count = run_thread_count();
    if (!count) return 1;
    threads = *count;
    const std::optional<DeviceRequest> request = run_device_request();
    if (!request) return 1;
    device = *request;
  }
  switch (mode) {
    case Mode::NewRun:
      return run_new(segment_length, threads, device, kDeviceSieve);
    case Mode::Resume:
      return run_resumed(segment_length, threads, device, kDeviceSieve);
    case Mode::Inspector:
      factor_depth();
      return 1;
    case Mode::Benchmark:
      bench();
      return 1;
    case Mode::Usage:
      usage();
      return 0;
  }
  return 0;
}
