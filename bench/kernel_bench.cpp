// SPDX-License-Identifier: MIT
// Speed of the exponentiation kernels: nanoseconds per candidate and
// candidates per second for each available kernel, by divisor size, on
// candidates d = 2kp + 1 as the search feeds them (batches of consecutive
// k, some skipped as a sieve would).
//
// Usage: kernel_bench [seconds per figure, default 0.15] [kernel names...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernels.h"

namespace {

constexpr std::size_t kBatch = 2048;

// Batches of candidates 2kp + 1 with `bits` bits, k rising in small random
// steps from the lowest k of that size.
std::vector<std::vector<u128>> make_batches(std::uint64_t p, unsigned bits,
                                            std::size_t count) {
  std::mt19937_64 rng(bits * 1000003ull + p);
  const u128 two_p = 2 * u128(p);
  u128 k = ((u128(1) << (bits - 1)) + two_p - 1) / two_p;
  std::vector<std::vector<u128>> batches(count, std::vector<u128>(kBatch));
  for (auto& batch : batches) {
    for (u128& d : batch) {
      d = two_p * k + 1;
      k += 1 + rng() % 4;
    }
  }
  return batches;
}

// The fastest of repeated passes over the batches within the time budget:
// on a shared machine the minimum is the figure least disturbed by others.
double ns_per_candidate(Kernel kernel, std::uint64_t p, unsigned bits, double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto batches = make_batches(p, bits, 8);
  std::vector<std::uint8_t> flags(kBatch);
  std::size_t hits = 0;
  double best = 1e30, total = 0;
  do {
    const auto start = Clock::now();
    for (const auto& batch : batches) {
      divides_batch(kernel, p, batch.data(), batch.size(), flags.data());
      for (std::uint8_t f : flags) hits += f;
    }
    const double pass = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, pass);
    total += pass;
  } while (total < seconds);
  if (hits == ~std::size_t(0)) std::puts("");  // keeps the work observable
  return best * 1e9 / static_cast<double>(batches.size() * kBatch);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 0.15;
  std::vector<Kernel> kernels;
  for (int i = 1; i < argc; ++i) {
    if (const auto k = kernel_from_name(argv[i])) {
      kernels.push_back(*k);
    } else {
      seconds = std::atof(argv[i]);
    }
  }
  if (kernels.empty()) kernels.assign(std::begin(kAllKernels), std::end(kAllKernels));

  const unsigned sizes[] = {40, 52, 60, 64, 68, 72, 76, 90, 100, 120};
  const std::uint64_t exponents[] = {86249, 3321928097};
  std::printf("batches of %zu candidates d = 2kp+1, best pass of those within %.2f s;\n"
              "figures only, nothing is asserted\n",
              kBatch, seconds);
  for (std::uint64_t p : exponents) {
    std::printf("\np = %llu\n%-8s %5s %10s %14s\n", static_cast<unsigned long long>(p),
                "kernel", "bits", "ns/cand", "cand/s");
    for (Kernel kernel : kernels) {
      if (!kernel_available(kernel)) {
        std::printf("%-8s (not available on this CPU)\n", std::string(kernel_name(kernel)).c_str());
        continue;
      }
      for (unsigned bits : sizes) {
        if (bits > kernel_max_bits(kernel)) continue;
        const double ns = ns_per_candidate(kernel, p, bits, seconds);
        std::printf("%-8s %5u %10.2f %14.0f\n", std::string(kernel_name(kernel)).c_str(), bits,
                    ns, 1e9 / ns);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
