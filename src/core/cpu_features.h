// SPDX-License-Identifier: MIT
// What this CPU offers the fast paths, detected once per process: the
// instruction sets the kernels and the sieve choose between at run time
// (each only where the operating system also saves the registers it uses),
// and the sizes of the caches the sieve cuts its blocks to.
#pragma once

#include <cstdint>

struct CpuFeatures {
  bool popcnt = false;
  // AVX2 with the YMM state saved by the OS.
  bool avx2 = false;
  // FMA3 (fused multiply-add on doubles) with the YMM state saved.
  bool fma = false;
  // AVX-512 F, DQ, BW, VL and IFMA with the ZMM and opmask state saved.
  bool avx512_ifma = false;
};

// The features of this CPU (none on a processor other than x86-64).
const CpuFeatures& cpu_features();

// This CPU's L1 data and L2 cache sizes in bytes (sysconf, else the
// kernel's account in /sys; a modest default where neither tells).
struct CacheSizes {
  std::int64_t l1_data = 0, l2 = 0;
};
const CacheSizes& cache_sizes();
