// SPDX-License-Identifier: MIT
// One OpenCL device, found and with the kernels of kernels.cl built for it:
// its context, queue and kernels, its failure (every OpenCL call that goes
// wrong, or a command that does not come back in time, leaves the device of
// no further use, with the reason), its busy time from its own clock, and
// the one wait on a queued command. The work goes through the engines built
// on it: the test batches (opencl_batches.h) and whole segments
// (opencl_segments.h). Contract of the arithmetic: 2^p mod d exactly, for
// every exponent 1 <= p < 2^64 and odd d with 3 <= d < 2^kMaxBits
// (mont32.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "gpu/device_request.h"
#include "gpu/opencl_api.h"
#include "gpu/planted_fault.h"

// The kernels of kernels.cl and sieve.cl.
enum class DeviceKernel {
  Search3,
  Search4,
  SearchList3,
  SearchList4,
  Residue3,
  Residue4,
  SieveStarts,
  SieveBlock,
  SieveScatter,
  SieveCount,
  SieveLast,
  SieveCompact,
};
inline constexpr int kDeviceKernels = 12;

// What collecting a batch or a segment gives: its divisors, more of them
// than can come back (the CPU then tests it), or a failure of the device.
enum class DeviceCollected { Done, Overflow, Failed };

class OpenClDevice {
 public:
  static constexpr unsigned kMaxBits = 124;  // four limbs; three below 2^92

  // Opens the device the request names and builds the kernels. nullptr when
  // that fails, with the reason in *why ("OpenCL: REASON", or "OpenCL
  // device DESCRIPTION: REASON" once a device was found); for an Automatic
  // request without any GPU (or without OpenCL at all), nullptr with *why
  // empty. Not for Cpu requests.
  static std::unique_ptr<OpenClDevice> open(const DeviceRequest& request, std::string* why);
  ~OpenClDevice();
  OpenClDevice(const OpenClDevice&) = delete;
  OpenClDevice& operator=(const OpenClDevice&) = delete;

  // "P:D: NAME (PLATFORM, driver VERSION)", the same on every run.
  const std::string& description() const { return description_; }
  bool is_gpu() const { return gpu_; }
  // Its place in OpenCL's lists (TAMRISK_DEVICE=opencl:P:D names it).
  unsigned platform_index() const { return platform_index_; }
  unsigned device_index() const { return device_index_; }
  std::size_t max_alloc() const { return max_alloc_; }
  cl_uint compute_units() const { return compute_units_; }
  cl_ulong local_memory() const { return local_memory_; }

  // ---- for the engines
  cl_context context() const;
  cl_command_queue queue() const;
  cl_kernel kernel(DeviceKernel which) const;
  // The work-group size to launch the kernel with (at most 256).
  std::size_t group(DeviceKernel which) const;

  // Records a failure (the first reason is kept); false, for the caller to
  // pass on.
  bool fail(const std::string& what, cl_int code);
  bool fail_because(const std::string& why);
  bool failed() const { return failed_; }
  const std::string& failure() const { return failure_; }

  // Waits for the command behind the event within kBatchTimeout, polling
  // its status (a device that has lost a command never signals, and no
  // OpenCL wait has a limit); false on a failure or a timeout, after which
  // the device counts as stalled: nothing of it is ever released.
  bool wait(cl_event event, bool planted_stall);
  bool stalled() const { return stalled_; }

  // Device seconds of the commands behind the events, from their profiles.
  double profiled_seconds(const std::vector<cl_event>& events) const;
  enum class Busy { Total, Kernel, Sieve };
  void add_busy(double seconds, Busy what);
  // Seconds the device spent on the commands since the last call (copies,
  // kernels, reads): what the benchmarks report as its busy time; of
  // those, the test kernels' of the test batches, and the sieve's of whole
  // segments (its copies included).
  double take_busy_seconds();
  double take_kernel_seconds();
  double take_sieve_seconds();

  // The planted fault of a test build for the next launch (counted over
  // test batches and segments alike); none in the shipped program.
  struct Launch {
    bool fail = false, stall = false, wrong = false;
  };
  Launch next_launch();

  struct Objects;  // context, queue, program, kernels (opencl_device.cpp)

 private:
  OpenClDevice();

  std::unique_ptr<Objects> objects_;
  std::string description_;
  unsigned platform_index_ = 0, device_index_ = 0;
  bool gpu_ = false;
  std::size_t max_alloc_ = 0;
  cl_uint compute_units_ = 1;
  cl_ulong local_memory_ = 0;
  PlantedFault fault_;
  unsigned launches_ = 0;
  bool failed_ = false, stalled_ = false;
  std::string failure_;
  double busy_ = 0, kernel_busy_ = 0, sieve_busy_ = 0;
};

// The device this process opened for the request, opened on the first call
// and kept for the process (the kernels are built once); opened anew when
// the one kept has failed. nullptr as for OpenClDevice::open, with *why.
OpenClDevice* shared_opencl_device(const DeviceRequest& request, std::string* why);

// Whether a run with this request may find a device to use: a request for
// one always may (it is opened, or said to be missing, when first needed);
// by default only when an OpenCL device of type GPU is there, which this
// checks without opening it.
bool opencl_device_offered(const DeviceRequest& request);
