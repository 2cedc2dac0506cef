// SPDX-License-Identifier: MIT
#include "core/cpu_features.h"

#include <unistd.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

CpuFeatures detect() {
  CpuFeatures f;
#if defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.popcnt = (c & bit_POPCNT) != 0;
  const bool fma3 = (c & bit_FMA) != 0;
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return f;
  // XCR0: which register state the OS saves: SSE (bit 1) and AVX (2) for
  // the YMM registers; opmask (5) and the upper ZMM halves (6, 7) beside
  // them for AVX-512.
  std::uint32_t xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  constexpr std::uint32_t kYmmState = (1u << 1) | (1u << 2);
  constexpr std::uint32_t kZmmState = kYmmState | (1u << 5) | (1u << 6) | (1u << 7);
  if ((xcr0_lo & kYmmState) != kYmmState) return f;
  f.fma = fma3;
  if (__get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, a, b, c, d);
  f.avx2 = (b & bit_AVX2) != 0;
  // The IFMA kernel is built for F, DQ, IFMA, BW and VL.
  constexpr unsigned kIfmaSet =
      bit_AVX512F | bit_AVX512DQ | bit_AVX512IFMA | bit_AVX512BW | bit_AVX512VL;
  f.avx512_ifma = (xcr0_lo & kZmmState) == kZmmState && (b & kIfmaSet) == kIfmaSet;
#endif
  return f;
}

// A cache's size in bytes from the kernel's account of cpu0's caches
// (level and type), or 0.
std::int64_t sysfs_cache(int level, const char* type) {
  for (int index = 0; index < 8; ++index) {
    const std::string dir =
        "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
    std::ifstream level_file(dir + "level"), type_file(dir + "type"), size_file(dir + "size");
    int l = 0;
    std::string t, size;
    if (!(level_file >> l) || !(type_file >> t) || !(size_file >> size)) continue;
    if (l != level || (t != type && t != "Unified")) continue;
    std::int64_t value = std::atoll(size.c_str());
    if (size.ends_with('K')) value *= 1024;
    if (size.ends_with('M')) value *= 1024 * 1024;
    return value;
  }
  return 0;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

const CacheSizes& cache_sizes() {
  static const CacheSizes sizes = [] {
    CacheSizes c;
    c.l1_data = sysconf(_SC_LEVEL1_DCACHE_SIZE);
    c.l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (c.l1_data <= 0) c.l1_data = sysfs_cache(1, "Data");
    if (c.l2 <= 0) c.l2 = sysfs_cache(2, "Unified");
    if (c.l1_data <= 0) c.l1_data = 32 * 1024;  // what every recent core has at least
    if (c.l2 <= 0) c.l2 = 512 * 1024;
    return c;
  }();
  return sizes;
}
