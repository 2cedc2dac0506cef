// SPDX-License-Identifier: MIT
// Speed of the exponentiation kernels: nanoseconds per candidate and
// candidates per second for each available kernel, by divisor size, on
// candidates d = 2kp + 1 as the search feeds them (batches of consecutive
// k, some skipped as a sieve would).
//
// Then the same on the OpenCL device that TAMRISK_DEVICE names (unset: a GPU
// when there is one), in batches of 2^22 offsets as the search hands them
// over: candidates per second of the whole batch (copies included) and of
// the kernel alone, from the device's own clock.
//
// The CPU kernels' times are processor time of the process, the best pass
// of those within the budget.
//
// Usage: kernel_bench [seconds per figure, default 0.15] [kernel names...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "gpu/device_request.h"
#include "gpu/opencl_batches.h"
#include "gpu/opencl_device.h"
#include "kernels/kernels.h"
#include "timing.h"

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

// The fastest of repeated passes over the batches within the time budget,
// in processor time: on a shared machine the minimum is the figure least
// disturbed by others.
double ns_per_candidate(Kernel kernel, std::uint64_t p, unsigned bits, double seconds) {
  const auto batches = make_batches(p, bits, 8);
  std::vector<std::uint8_t> flags(kBatch);
  std::size_t hits = 0;
  double best = 1e30, total = 0;
  do {
    const double start = cpu_seconds();
    for (const auto& batch : batches) {
      divides_batch(kernel, p, batch.data(), batch.size(), flags.data());
      for (std::uint8_t f : flags) hits += f;
    }
    const double pass = cpu_seconds() - start;
    best = std::min(best, pass);
    total += pass;
  } while (total < seconds);
  if (hits == ~std::size_t(0)) std::puts("");  // keeps the work observable
  return best * 1e9 / static_cast<double>(batches.size() * kBatch);
}

// The OpenCL device's figures for candidates of `bits` bits: the best pass
// of whole batches (wall ns per candidate) and the kernel's own ns per
// candidate in that pass.
struct DeviceFigures {
  double wall_ns = 0, kernel_ns = 0;
  bool ok = false;
};

DeviceFigures device_ns(OpenClDevice& device, std::uint64_t p, unsigned bits, double seconds) {
  using Clock = std::chrono::steady_clock;
  constexpr std::size_t kOffsets = std::size_t{1} << 22;
  std::mt19937_64 rng(bits * 1000003ull + p);
  const u128 two_p = 2 * u128(p);
  const u128 k = ((u128(1) << (bits - 1)) + two_p - 1) / two_p;
  std::vector<std::uint32_t> offsets(kOffsets);
  std::uint32_t at = 0;
  for (std::uint32_t& o : offsets) {
    o = at;
    at += 1 + static_cast<std::uint32_t>(rng() % 4);
  }
  if (bit_length(two_p * (k + at) + 1) > OpenClDevice::kMaxBits) return {};
  std::vector<std::uint32_t> hits;
  DeviceFigures best;
  double total = 0;
  OpenClBatches batches(device);
  batches.search(p, two_p * k + 1, two_p, offsets.data(), kOffsets, hits);  // warm-up
  device.take_kernel_seconds();
  do {
    const auto start = Clock::now();
    if (batches.search(p, two_p * k + 1, two_p, offsets.data(), kOffsets, hits) ==
        DeviceCollected::Failed) {
      return {};
    }
    const double pass = std::chrono::duration<double>(Clock::now() - start).count();
    const double kernel = device.take_kernel_seconds();
    if (!best.ok || pass * 1e9 / kOffsets < best.wall_ns) {
      best = {pass * 1e9 / kOffsets, kernel * 1e9 / kOffsets, true};
    }
    total += pass;
  } while (total < seconds);
  return best;
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

  const unsigned sizes[] = {40, 52, 60, 64, 68, 72, 76, 80, 90, 100, 120};
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

  std::printf("\nOpenCL: ");
  const std::optional<DeviceRequest> request = run_device_request();
  if (!request) return 1;
  std::string why;
  OpenClDevice* device = request->kind == DeviceRequest::Kind::Cpu
                             ? nullptr
                             : shared_opencl_device(*request, &why);
  if (device == nullptr) {
    std::printf("no device (%s)\n",
                request->kind == DeviceRequest::Kind::Cpu
                    ? "TAMRISK_DEVICE=cpu"
                    : why.empty() ? "no GPU found; TAMRISK_DEVICE=opencl takes any device"
                                  : why.c_str());
    return 0;
  }
  std::printf("%s, batches of 2^22 offsets\n", device->description().c_str());
  for (std::uint64_t p : exponents) {
    std::printf("\np = %llu\n%-8s %5s %10s %14s %14s %14s\n", static_cast<unsigned long long>(p),
                "kernel", "bits", "ns/cand", "cand/s", "kernel ns", "kernel cand/s");
    for (unsigned bits : sizes) {
      const DeviceFigures f = device_ns(*device, p, bits, std::max(seconds, 0.5));
      if (!f.ok) continue;
      std::printf("%-8s %5u %10.3f %14.4g %14.3f %14.4g\n", "opencl", bits, f.wall_ns,
                  1e9 / f.wall_ns, f.kernel_ns, f.kernel_ns > 0 ? 1e9 / f.kernel_ns : 0.0);
      std::fflush(stdout);
    }
    if (device->failed()) std::printf("the device failed: %s\n", device->failure().c_str());
  }
  return 0;
}
