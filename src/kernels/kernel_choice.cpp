// SPDX-License-Identifier: MIT
// Choosing a kernel: the one TAMRISK_KERNEL forces, or the fastest on this
// CPU for the size, by the measure kernel_bench takes (processor time per
// candidate on candidates of that many bits, for p = 86249 and
// p = 3321928097), timed once per size and process on a small sample.
//
// Every kernel is exact, so the choice changes the speed and never a byte
// of output. It is made stable against the timing noise by taking the best
// of several interleaved passes in the thread's own processor time (time
// spent on other work does not count) and by pick_fastest's margin, and it
// is cached, so that every later call for the same size in the process gets
// the same kernel.
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "kernels/kernels.h"

namespace {

// A sample of 192 candidates fills whole blocks of every kernel (64, 24, 8,
// 4); each pass runs it for both exponents; the best of kPasses passes
// counts.
constexpr std::size_t kSample = 192;
constexpr int kPasses = 5;
constexpr std::uint64_t kExponents[] = {86249, 3321928097};

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Odd candidates of exactly `bits` bits (2 <= bits <= 128), the same on
// every call: a fixed xorshift sequence below the top bit.
std::vector<u128> sample_candidates(unsigned bits) {
  std::vector<u128> d(kSample);
  std::uint64_t state = 0x9e3779b97f4a7c15ull ^ bits;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const u128 top = u128(1) << (bits - 1);
  for (u128& x : d) {
    const u128 r = (u128(next()) << 64) | next();
    x = top | (r & (top - 1)) | 1;
  }
  return d;
}

// The kernels to time for d_bits, in order of preference: every one this
// CPU offers that is valid for the size, but GMP (and IFMA when portable).
std::vector<Kernel> eligible(unsigned d_bits, bool portable) {
  std::vector<Kernel> out;
  for (const Kernel k : kAllKernels) {
    if (k == Kernel::Gmp || (portable && k == Kernel::Ifma)) continue;
    if (kernel_available(k) && d_bits <= kernel_max_bits(k)) out.push_back(k);
  }
  return out;
}

Kernel measure_fastest(unsigned d_bits, bool portable) {
  const std::vector<Kernel> kernels = eligible(d_bits, portable);
  if (kernels.empty()) return Kernel::Gmp;
  if (kernels.size() == 1) return kernels[0];
  const std::vector<u128> d = sample_candidates(d_bits);
  std::vector<std::uint8_t> flags(kSample);
  const auto pass = [&](Kernel k) {
    const double start = thread_seconds();
    for (const std::uint64_t p : kExponents) divides_batch(k, p, d.data(), kSample, flags.data());
    return thread_seconds() - start;
  };
  for (const Kernel k : kernels) pass(k);  // warm-up: code and tables into the caches
  std::vector<double> best(kernels.size(), std::numeric_limits<double>::infinity());
  // Passes interleaved across the kernels, so that a slow moment of the
  // machine does not fall on one kernel alone.
  for (int i = 0; i < kPasses; ++i) {
    for (std::size_t j = 0; j < kernels.size(); ++j) best[j] = std::min(best[j], pass(kernels[j]));
  }
  std::vector<kernels_internal::KernelTiming> timings;
  for (std::size_t j = 0; j < kernels.size(); ++j) {
    timings.push_back({kernels[j], best[j] * 1e9 / (2 * kSample)});
  }
  return kernels_internal::pick_fastest(timings.data(), timings.size());
}

}  // namespace

Kernel kernels_internal::pick_fastest(const KernelTiming* timings, std::size_t n) {
  KernelTiming best = timings[0];
  for (std::size_t i = 1; i < n; ++i) {
    if (timings[i].ns < best.ns * (1 - kChoiceMargin)) best = timings[i];
  }
  return best.kernel;
}

Kernel choose_kernel(unsigned d_bits) {
  if (d_bits > 128) return Kernel::Gmp;
  d_bits = std::max(d_bits, 2u);
  if (const auto forced = forced_kernel();
      forced && kernel_available(*forced) && d_bits <= kernel_max_bits(*forced)) {
    return *forced;
  }
  const bool portable = portable_forced();
  // 0 while a size is not yet timed, else the kernel's value + 1.
  static std::array<std::array<std::atomic<int>, 129>, 2> chosen{};
  static std::mutex timing;
  std::atomic<int>& slot = chosen[portable ? 1 : 0][d_bits];
  int known = slot.load(std::memory_order_acquire);
  if (known == 0) {
    // One timing at a time: the threads of a run that ask at once wait for
    // the first, and no two timings share the machine.
    const std::lock_guard<std::mutex> lock(timing);
    known = slot.load(std::memory_order_relaxed);
    if (known == 0) {
      known = static_cast<int>(measure_fastest(d_bits, portable)) + 1;
      slot.store(known, std::memory_order_release);
    }
  }
  return static_cast<Kernel>(known - 1);
}
