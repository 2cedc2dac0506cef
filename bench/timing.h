// SPDX-License-Identifier: MIT
// What the benchmarks share: the process's processor time, and one kernel's
// processor time per candidate on a batch of candidates 2kp + 1 of a given
// size. Figures only; nothing is asserted.
#pragma once

#include <time.h>

#include <cstdint>
#include <vector>

#include "kernels/kernels.h"

inline double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Nanoseconds of processor time per candidate of `kernel` over batches of
// 4096 candidates of `bits` bits (every third k from the lowest of that
// size), repeated for `seconds`.
inline double kernel_ns(Kernel kernel, std::uint64_t p, unsigned bits, double seconds) {
  constexpr std::size_t kBatch = 4096;
  const u128 two_p = 2 * static_cast<u128>(p);
  u128 k = ((static_cast<u128>(1) << (bits - 1)) + two_p - 1) / two_p;
  std::vector<u128> d(kBatch);
  for (u128& v : d) {
    v = two_p * k + 1;
    k += 3;
  }
  std::vector<std::uint8_t> flags(kBatch);
  std::size_t done = 0;
  const double t0 = cpu_seconds();
  double t1 = t0;
  while (t1 - t0 < seconds) {
    divides_batch(kernel, p, d.data(), kBatch, flags.data());
    done += kBatch;
    t1 = cpu_seconds();
  }
  return (t1 - t0) * 1e9 / static_cast<double>(done);
}
