// SPDX-License-Identifier: MIT
// The OpenCL device the tests run on: the first one of any type (PoCL, an
// OpenCL that runs on the CPU, in CI), opened once per test binary. Where
// none is installed the tests that need it are skipped, unless
// TAMRISK_REQUIRE_OPENCL is set (scripts/run-tests sets it): then they fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "gpu/opencl_device.h"

inline OpenClDevice* opencl_for_tests(std::string* why) {
  return shared_opencl_device(DeviceRequest{DeviceRequest::Kind::FirstOpenCl}, why);
}

// In a test body: `OpenClDevice* device; TAMRISK_NEED_OPENCL(device);`
#define TAMRISK_NEED_OPENCL(device)                                                \
  do {                                                                             \
    std::string why_;                                                              \
    (device) = opencl_for_tests(&why_);                                            \
    if ((device) == nullptr) {                                                     \
      if (std::getenv("TAMRISK_REQUIRE_OPENCL") != nullptr) {                      \
        FAIL() << "no OpenCL device, and TAMRISK_REQUIRE_OPENCL is set: " << why_; \
      }                                                                            \
      GTEST_SKIP() << "no OpenCL device: " << why_;                                \
    }                                                                              \
  } while (false)

// Whether the tests have an OpenCL device (for tables that add its rows).
inline bool opencl_installed() { return opencl_for_tests(nullptr) != nullptr; }
