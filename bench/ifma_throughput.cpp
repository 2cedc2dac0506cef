// SPDX-License-Identifier: MIT
// What this CPU's 52-bit multiply-add (vpmadd52luq on 512-bit registers)
// can do: instructions per nanosecond with 1, 2, 4, ... independent
// dependency chains (one chain shows the latency, many the throughput), the
// same for the high half (vpmadd52huq) and for lo/hi pairs as the kernel
// issues them. Then the IFMA kernel's own time per candidate on full
// batches, for comparison. Processor time.
//
//   ifma_throughput [seconds per measurement, default 0.2]
//
// Built only for x86-64; on a CPU without AVX-512 IFMA it says so.
#include <immintrin.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kernels/kernels.h"
#include "timing.h"

#define IFMA_TARGET __attribute__((target("avx512f,avx512ifma")))

namespace {

enum class Op { Low, High, Pair };

// kChains accumulators, each updated once per step by its own multiply-add
// (two for Pair: lo into one, hi into another), `steps` times. Returns a
// value that depends on every accumulator, so nothing is optimised away.
template <int kChains, Op kOp>
IFMA_TARGET std::uint64_t run_chains(std::uint64_t steps, std::uint64_t seed) {
  __m512i acc[kChains], acc_hi[kChains];
  const __m512i a = _mm512_set1_epi64(static_cast<long long>(seed | 1));
  const __m512i b = _mm512_set1_epi64(static_cast<long long>((seed >> 7) | 3));
  for (int c = 0; c < kChains; ++c) {
    acc[c] = _mm512_set1_epi64(c);
    acc_hi[c] = _mm512_set1_epi64(c + 1);
  }
  for (std::uint64_t s = 0; s < steps; ++s) {
#pragma GCC unroll 16
    for (int c = 0; c < kChains; ++c) {
      if constexpr (kOp == Op::Low) {
        acc[c] = _mm512_madd52lo_epu64(acc[c], a, b);
      } else if constexpr (kOp == Op::High) {
        acc[c] = _mm512_madd52hi_epu64(acc[c], a, b);
      } else {
        acc[c] = _mm512_madd52lo_epu64(acc[c], a, b);
        acc_hi[c] = _mm512_madd52hi_epu64(acc_hi[c], a, b);
      }
    }
  }
  __m512i sum = _mm512_setzero_si512();
  for (int c = 0; c < kChains; ++c) sum = _mm512_xor_si512(sum, _mm512_xor_si512(acc[c], acc_hi[c]));
  alignas(64) std::uint64_t lanes[8];
  _mm512_store_si512(lanes, sum);
  std::uint64_t out = 0;
  for (const std::uint64_t lane : lanes) out ^= lane;
  return out;
}

// Multiply-add instructions per nanosecond, over at least `seconds`.
template <int kChains, Op kOp>
double rate(double seconds, std::uint64_t& sink) {
  constexpr std::uint64_t kSteps = 1 << 20;
  const int per_step = kChains * (kOp == Op::Pair ? 2 : 1);
  std::uint64_t done = 0;
  const double t0 = cpu_seconds();
  double t1 = t0;
  while (t1 - t0 < seconds) {
    sink ^= run_chains<kChains, kOp>(kSteps, sink + done);
    done += kSteps * static_cast<std::uint64_t>(per_step);
    t1 = cpu_seconds();
  }
  return static_cast<double>(done) / ((t1 - t0) * 1e9);
}

template <Op kOp>
void print_row(const char* name, double seconds, std::uint64_t& sink) {
  std::printf("%-22s", name);
  std::printf("  1: %5.2f", rate<1, kOp>(seconds, sink));
  std::printf("  2: %5.2f", rate<2, kOp>(seconds, sink));
  std::printf("  4: %5.2f", rate<4, kOp>(seconds, sink));
  std::printf("  8: %5.2f", rate<8, kOp>(seconds, sink));
  std::printf("  12: %5.2f", rate<12, kOp>(seconds, sink));
  std::printf("  16: %5.2f\n", rate<16, kOp>(seconds, sink));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 0.2;
  if (argc > 2 || !(seconds > 0)) {
    std::fprintf(stderr, "usage: ifma_throughput [seconds per measurement]\n");
    return 1;
  }
  if (!kernel_available(Kernel::Ifma)) {
    std::printf("AVX-512 IFMA: not available on this CPU (or not enabled by the OS)\n");
    return 0;
  }
  std::uint64_t sink = 0x9e3779b97f4a7c15;
  std::printf("512-bit multiply-adds per ns (8 lanes each), by independent chains\n");
  print_row<Op::Low>("vpmadd52luq", seconds, sink);
  print_row<Op::High>("vpmadd52huq", seconds, sink);
  print_row<Op::Pair>("lo + hi pairs", seconds, sink);
  std::printf("\nIFMA kernel, ns per candidate (batches of 4096)\n");
  std::printf("  p = 86249:      60 bits %.2f ns, 72 bits %.2f ns\n", kernel_ns(Kernel::Ifma, 86249, 60, seconds),
              kernel_ns(Kernel::Ifma, 86249, 72, seconds));
  std::printf("  p = 3321928097: 68 bits %.2f ns\n", kernel_ns(Kernel::Ifma, 3321928097, 68, seconds));
  std::printf("(checksum %llx)\n", static_cast<unsigned long long>(sink));
  return 0;
}
