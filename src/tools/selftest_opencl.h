// SPDX-License-Identifier: MIT
// The self-test's OpenCL part: the device it checks, and the kernel part's
// rows through the device's kernel as the search hands it a twentieth.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "gpu/opencl_device.h"
#include "tools/selftest_kernels.h"
#include "tools/selftest_rows.h"

// The OpenCL device the self-test checks, as TAMRISK_DEVICE asks for it
// (unset: a GPU when there is one; cpu: none). Without a device, why says
// so; fault when that is a failure (a device asked for, or a GPU there,
// that cannot serve, or an unusable value).
struct OpenClOffer {
  OpenClDevice* device = nullptr;
  std::string why;
  bool fault = false;
};
OpenClOffer offered_opencl_device();

// The rows through the device's kernel, as the search hands it a
// twentieth: the row's batch as 32-bit offsets from its smallest candidate.
// A row is found when its offset comes back once for every planted lane;
// any other offset returned must be a divisor. (kernel is left as Gmp.)
KernelReport check_opencl(OpenClDevice& device, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures);
