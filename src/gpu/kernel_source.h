// SPDX-License-Identifier: MIT
// The OpenCL C text of kernels.cl with the files it includes (carry32.h,
// mont32.h, sieve.cl) pasted in, as the build embeds it
// (embed-kernels.cmake): what the program hands to the device's compiler
// at run time.
#pragma once

extern const char kOpenClKernelSource[];
