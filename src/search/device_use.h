// SPDX-License-Identifier: MIT
// One run's use of an OpenCL device, and the lines it writes on stderr: the
// device is opened when first needed and named; one chosen by default
// (TAMRISK_DEVICE unset) is named once it has proved itself against the
// CPU, or left, with a line, for being slower; a failure leaves it for the
// CPU with a line naming the k from which the CPU takes over:
//
//   tamrisk: OpenCL device DESCRIPTION
//   tamrisk: OpenCL device DESCRIPTION: slower than the CPU path here; testing on the CPU
//   tamrisk: OpenCL device DESCRIPTION: REASON; testing on the CPU from k = K
//   tamrisk: OpenCL: REASON; testing on the CPU          (asked for, not there)
#pragma once

#include <gmp.h>

#include <string>

#include "gpu/device_request.h"
#include "gpu/opencl_device.h"

// Whether a run with this request tests on a device at all: not for Cpu,
// and not by default while TAMRISK_KERNEL names a CPU kernel (or
// "portable"), which asks for the CPU's kernels.
bool wants_opencl(const DeviceRequest& request);

class OpenClUse {
 public:
  explicit OpenClUse(const DeviceRequest& request) : request_(request) {}

  // The device, opened on the first call (and named there, when it was
  // asked for); nullptr when there is none to use or once it has been left.
  OpenClDevice* device();
  OpenClDevice* opened() const { return device_; }  // whether used or left
  // Whether a device chosen by default still has to prove itself.
  bool on_trial() const { return active_ && !checked_; }
  // The trial's end: the device kept (and named) or left as slower.
  void verdict(bool slower);
  // Leaves the device; its line names why and the k from which the CPU
  // takes over.
  void give_up(mpz_srcptr k, const std::string& why);

 private:
  DeviceRequest request_;
  OpenClDevice* device_ = nullptr;
  bool tried_ = false;    // the device was asked for
  bool active_ = false;   // it takes work
  bool checked_ = false;  // its trial is over (or it needs none)
};
