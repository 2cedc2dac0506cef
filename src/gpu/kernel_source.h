// SPDX-License-Identifier: MIT
// The OpenCL C text of kernels.cl with mont32.h pasted in, as the build
// embeds it (embed-kernels.cmake): what the program hands to the device's
// compiler at run time.
#pragma once

extern const char kOpenClKernelSource[];
