// SPDX-License-Identifier: MIT
// Exponentiation kernels: for a batch of odd candidates d and one exponent p,
// decide 2^p mod d exactly, as mpz_powm(r, 2, p, d) would.
//
// Contract, for every kernel k:
//   - 1 <= p <= 2^64 - 1; every d[i] odd with 3 <= d[i] < 2^kernel_max_bits(k)
//     (Gmp: any odd d[i] >= 3 that fits in 128 bits);
//   - powm2_batch writes residue[i] = 2^p mod d[i], in [0, d[i]);
//   - divides_batch writes divides[i] = kDivides if 2^p mod d[i] == 1, else
//     0, plus kFlagged when it is asked to flag (check_bits > 0) and the
//     low check_bits bits of 2^p mod d[i] are all zero;
//   - n may be 0; inputs and outputs must not overlap;
//   - asking for a kernel that kernel_available() denies runs Mont128 instead
//     (exact for every d the interface can hold), never illegal instructions.
// The batch entry points are thread-safe: they keep no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/exponent_split.h"
#include "core/u128.h"

enum class Kernel { Mont64, Mont128, Ifma, Gmp, Mont2x64, Avx2, Fma, Fma64 };

// Every kernel, for code that goes through all of them (tests, benchmarks);
// the ones this CPU lacks are among them, kernel_available() tells which.
inline constexpr Kernel kAllKernels[] = {Kernel::Ifma,    Kernel::Fma,      Kernel::Fma64,
                                         Kernel::Avx2,    Kernel::Mont2x64, Kernel::Mont64,
                                         Kernel::Mont128, Kernel::Gmp};

// Ifma: true when the CPU is an x86-64 with AVX512F + AVX512IFMA and the OS
// saves the ZMM state; Avx2: an x86-64 with AVX2 whose OS saves the YMM
// state; Fma and Fma64: the same with FMA as well; the other kernels are
// always available.
bool kernel_available(Kernel kernel);

// Largest bit length of d for which the kernel is proven exact
// (Mont64 and Fma64: 64, Fma: 98, Ifma and Avx2: 100; Mont128, Mont2x64 and
// Gmp: 128, the width of the interface).
unsigned kernel_max_bits(Kernel kernel);

// Candidates a kernel works on side by side: batches whose size is a
// multiple of it leave no lane idle.
std::size_t kernel_batch_width(Kernel kernel);

// Short lower-case name ("mont64", "mont128", "ifma", "gmp", "mont2x64",
// "avx2", "fma", "fma64") and its inverse.
std::string_view kernel_name(Kernel kernel);
std::optional<Kernel> kernel_from_name(std::string_view name);

// The kernel forced through the environment variable TAMRISK_KERNEL
// (one of the names above), if it names one; read on every call.
std::optional<Kernel> forced_kernel();

// True when TAMRISK_KERNEL is "portable": the automatic choice then leaves
// out the AVX-512 kernel, as on a CPU without it (AVX2 and FMA stay in, as
// most such CPUs have them); read on every call.
bool portable_forced();

// The kernel for candidates of d_bits bits. A kernel forced through
// TAMRISK_KERNEL wins when it is available and valid for d_bits; otherwise
// the fastest on this CPU (without AVX-512 when TAMRISK_KERNEL=portable):
// every available kernel valid for d_bits but GMP is timed on a sample of
// candidates of that size, once per size and process (kernel_choice.cpp),
// so the same size always gets the same kernel within a run. Above 128 bits,
// GMP. Thread-safe.
Kernel choose_kernel(unsigned d_bits);

// residue[i] = 2^p mod d[i] for i < n.
void powm2_batch(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n, u128* residue);

// The verdict bits of divides_batch: the candidate divides M(p); its
// residue's low check_bits bits are zero (the residue witnesses' flag,
// core/witness.h).
inline constexpr std::uint8_t kDivides = 1;
inline constexpr std::uint8_t kFlagged = 2;

// divides[i] = the verdict of d[i] for i < n; check_bits from 0 (no flags)
// to 52.
void divides_batch(Kernel kernel, std::uint64_t p, const u128* d, std::size_t n,
                   std::uint8_t* divides, unsigned check_bits = 0);

// ---------------------------------------------------------------------------
// Shared by the kernel translation units; not part of the contract above.
namespace kernels_internal {

// 2^k mod d, exact, for odd d >= 3.
u128 pow2_mod(unsigned k, u128 d);

// (hi * 2^64 + lo) mod d by one hardware division where the CPU divides 128
// by 64 bits (x86-64), else by the compiler's 128-bit remainder; needs hi < d.
std::uint64_t div_rem(std::uint64_t hi, std::uint64_t lo, std::uint64_t d);

// Candidates per block of the IFMA kernel: eight registers of eight lanes
// (measured: as fast as six for 17-bit exponents, 3-5 % faster for 32-bit
// ones, and a batch of 4096 then ends on a whole block).
inline constexpr std::size_t kIfmaLanes = 64;

// The verdict of an exact residue, from its low word and whether it is 1;
// flag_mask holds the low check_bits bits (0: no flag).
inline std::uint8_t verdict(std::uint64_t low, bool one, std::uint64_t flag_mask) {
  return static_cast<std::uint8_t>((one ? kDivides : 0) |
                                   (flag_mask != 0 && (low & flag_mask) == 0 ? kFlagged : 0));
}

// Candidates per group of the scalar kernels (kernels_scalar.cpp): chains
// side by side, so that each multiplier's latency is covered.
inline constexpr int kMont64Width = 8;
inline constexpr int kMont128Width = 4;
inline constexpr int kMont2x64Width = 4;

// The scalar kernels; exactly one of residue and divides is non-null (the
// verdicts, flags under flag_mask). Mont64 only for d below 2^64.
void mont64_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                  std::uint8_t* divides, std::uint64_t flag_mask);
void mont128_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                   std::uint8_t* divides, std::uint64_t flag_mask);
void mont2x64_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                    std::uint8_t* divides, std::uint64_t flag_mask);
void gmp_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue, std::uint8_t* divides,
               std::uint64_t flag_mask);

// The IFMA kernel; exactly one of residue and divides is non-null (the
// verdicts, flags under flag_mask). Only to be called when
// kernel_available(Kernel::Ifma).
void ifma_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue, std::uint8_t* divides,
                std::uint64_t flag_mask);

// A value congruent to 2^k mod d[j] and below 3 d[j], for four odd d[j] >= 3
// and k >= 128 (or k below 128 and every d[j] below 2^64). Fast (two
// double-precision steps for all four) when every d[j] lies between 2^64 and
// 2^124 and k is at most 94 above the bit length of the smallest; otherwise
// exact by pow2_mod, lane by lane.
void pow2_start4(unsigned k, const u128* d, u128* r);

// Candidates per block of the AVX2 kernel: four registers of four lanes and
// eight scalar chains.
inline constexpr std::size_t kAvx2Lanes = 24;

// The AVX2 kernel, like ifma_batch; only when kernel_available(Kernel::Avx2).
void avx2_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue, std::uint8_t* divides,
                std::uint64_t flag_mask);

// Candidates per block of the FMA kernel: eight registers of four lanes
// (measured on a Zen 4 against 4 to 12: fewer leave the multiply-add latency
// uncovered, more spill to memory; 6 and 7 are as fast for 17-bit exponents,
// 3-8 % slower for 32-bit ones).
inline constexpr std::size_t kFmaLanes = 32;

// The FMA kernel, like ifma_batch; only when kernel_available(Kernel::Fma).
void fma_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue, std::uint8_t* divides,
               std::uint64_t flag_mask);

// Candidates per block of the fma64 kernel: the FMA kernel's registers and
// 16 one-word Montgomery chains on the integer multiplier beside them
// (measured on a Zen 4 against 8, 24 and 32 chains beside 10, 6 and 4
// registers).
inline constexpr std::size_t kFma64Lanes = kFmaLanes + 16;

// The fma64 kernel (every d below 2^64), like fma_batch.
void fma64_batch(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                 std::uint8_t* divides, std::uint64_t flag_mask);

// A kernel's measured time per candidate, for pick_fastest.
struct KernelTiming {
  Kernel kernel;
  double ns;
};

// A later kernel displaces the best so far only when it is faster by more
// than this share, so that kernels within the timing noise of each other
// keep the order they were given in.
inline constexpr double kChoiceMargin = 0.04;

// The kernel to choose from timings given in order of preference (at least
// one): the first, unless a later one is more than kChoiceMargin faster than
// the best so far.
Kernel pick_fastest(const KernelTiming* timings, std::size_t n);

// Runs block(p, d, residue, divides, flag_mask) over whole blocks of Lanes
// candidates;// a tail shorter than a block runs as a full block padded with copies of its
// first candidate. Exactly one of residue and divides is non-null.
template <std::size_t Lanes, typename Block>
void run_in_blocks(std::uint64_t p, const u128* d, std::size_t n, u128* residue,
                   std::uint8_t* divides, std::uint64_t flag_mask, Block block) {
  std::size_t i = 0;
  for (; i + Lanes <= n; i += Lanes) {
    block(p, d + i, residue != nullptr ? residue + i : nullptr,
          divides != nullptr ? divides + i : nullptr, flag_mask);
  }
  if (i == n) return;
  const std::size_t count = n - i;
  u128 in[Lanes], out[Lanes];
  std::uint8_t flags[Lanes];
  for (std::size_t j = 0; j < Lanes; ++j) in[j] = d[i + (j < count ? j : 0)];
  block(p, in, residue != nullptr ? out : nullptr, divides != nullptr ? flags : nullptr, flag_mask);
  for (std::size_t j = 0; j < count; ++j) {
    if (residue != nullptr) residue[i + j] = out[j];
    if (divides != nullptr) divides[i + j] = flags[j];
  }
}

}  // namespace kernels_internal
