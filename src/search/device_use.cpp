// SPDX-License-Identifier: MIT
#include "search/device_use.h"

#include <cstdio>

#include "core/big_int.h"
#include "kernels/kernels.h"

bool wants_opencl(const DeviceRequest& request) {
  if (request.kind == DeviceRequest::Kind::Cpu) return false;
  if (request.kind == DeviceRequest::Kind::Automatic) {
    return !forced_kernel().has_value() && !portable_forced();
  }
  return true;
}

OpenClDevice* OpenClUse::device() {
  if (tried_) return active_ ? device_ : nullptr;
  tried_ = true;
  if (!wants_opencl(request_)) return nullptr;
  std::string why;
  device_ = shared_opencl_device(request_, &why);
  if (device_ == nullptr) {
    if (!why.empty()) std::fprintf(stderr, "tamrisk: %s; testing on the CPU\n", why.c_str());
    return nullptr;
  }
  active_ = true;
  // A device that was asked for is used as it is; one chosen by default is
  // named once it has proved itself against the CPU.
  checked_ = request_.kind != DeviceRequest::Kind::Automatic;
  if (checked_) {
    std::fprintf(stderr, "tamrisk: OpenCL device %s\n", device_->description().c_str());
  }
  return device_;
}

void OpenClUse::verdict(bool slower) {
  checked_ = true;
  if (slower) {
    active_ = false;
    std::fprintf(stderr,
                 "tamrisk: OpenCL device %s: slower than the CPU path here; testing on the CPU\n",
                 device_->description().c_str());
  } else {
    std::fprintf(stderr, "tamrisk: OpenCL device %s\n", device_->description().c_str());
  }
}

void OpenClUse::give_up(mpz_srcptr k, const std::string& why) {
  active_ = false;
  std::fprintf(stderr, "tamrisk: OpenCL device %s: %s; testing on the CPU from k = %s\n",
               device_->description().c_str(), why.c_str(), to_decimal(k).c_str());
}
