// SPDX-License-Identifier: MIT
// tamrisk-selftest: does this machine, with this build, find factors? It
// checks the known divisors of known_factors.h in two parts.
//
// 1. Kernels. Every kernel of kAllKernels that this CPU offers tests every
//    row (with --quick, a sample) whose d lies within its bound, called as
//    the fast walk calls it: batches of up to 4096 candidates of the row's
//    exponent (most of them full, some cut short as at the end of a chunk),
//    the row's d planted at several lanes among its neighbours 2k'p + 1. A
//    row is found when every planted lane is flagged; a flag on any other
//    lane must be a true divisor (checked with mpz_powm), else it is a false
//    divisor and a fault as well.
// 1b. OpenCL. When an OpenCL device is offered (TAMRISK_DEVICE, or a GPU
//    found by default), the same rows go through its kernel as the search
//    hands it a twentieth, and one search of part 2 runs on it.
// 2. Search. The program `tamrisk` installed beside the self-test is resumed
//    (`tamrisk -r`, with TAMRISK_THREADS=3) in a temporary directory on a
//    checkpoint whose range of k holds the row's k, for a sample of rows
//    with prime d from every 8-bit band of sizes; the run must exit with 0
//    and leave "M<p> has a factor: <d>" in results.txt. The directory is
//    removed afterwards in every case. TAMRISK_KERNEL, when set, reaches the
//    program as it is, so the search runs with the kernel it forces.
//
// It prints one line per kernel, one for the search, then the verdict
// ("selftest passed" or "selftest FAILED: ..." naming the first rows
// missed), and gives exit status 0 when every row was found, 1 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gpu/opencl_device.h"
#include "kernels/kernels.h"

// ---------------------------------------------------------------------------
// Command line: tamrisk-selftest [--quick]

enum class SelftestAction { Run, Help, BadUsage };

struct SelftestArgs {
  SelftestAction action = SelftestAction::Run;
  bool quick = false;  // a sample of the table, a few seconds
};

SelftestArgs parse_selftest_args(int argc, const char* const* argv);

// The usage line, and with help the description of the options too.
void print_selftest_usage(std::FILE* to, bool help);

// ---------------------------------------------------------------------------
// The parts; each appends to failures one text per row missed (or fault),
// in the order met, naming the part, p, k and d.

struct SelftestRow {
  std::uint64_t p = 0;
  std::uint64_t k = 0;
  u128 d = 0;  // 2kp + 1
  unsigned bits = 0;
};

// The whole table of known factors.
std::vector<SelftestRow> selftest_rows();

// The rows the kernel part tries: all of them, or for quick every 16th and
// the last (the largest d).
std::vector<SelftestRow> kernel_sample(std::span<const SelftestRow> rows, bool quick);

// The rows the search part runs: rows with prime d (a composite d may have a
// prime factor small enough for the sieve to strike it) from every 8-bit band
// of bit lengths: the middle one of each band, and for a full run also the
// first and the last.
std::vector<SelftestRow> search_sample(std::span<const SelftestRow> rows, bool quick);

// The batch the kernel part hands a kernel for the serial-th row it tries
// (serial counting from 0): its size, 4096 for three rows in four and a
// shorter one for the fourth, and the lanes where the row's d is planted,
// increasing: the first, the last, and one in each quarter at a place that
// moves on with serial, so that over consecutive rows every lane position
// modulo any kernel's width up to 64 is met.
struct BatchLayout {
  std::size_t size = 0;
  std::vector<std::size_t> planted;
};
BatchLayout batch_layout(std::size_t serial);

struct KernelReport {
  Kernel kernel = Kernel::Gmp;
  bool available = false;
  std::size_t tried = 0;           // rows within the kernel's bound
  std::size_t found = 0;           // rows flagged in every planted lane
  std::size_t false_divisors = 0;  // lanes flagged whose d does not divide M(p)
};

KernelReport check_kernel(Kernel kernel, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures);

// The OpenCL device the self-test checks, as TAMRISK_DEVICE asks for it
// (unset: a GPU when there is one; cpu: none). Without a device, why says
// so; fault when that is a failure (a device asked for, or a GPU there,
// that cannot serve, or an unusable value).
struct OpenClOffer {
  OpenClDevice* device = nullptr;
  std::string why;
  bool fault = false;
};
OpenClOffer offered_opencl_device();

// The same rows through the device's kernel, as the search hands it a
// twentieth: the row's batch as 32-bit offsets from its smallest candidate.
// A row is found when its offset comes back once for every planted lane;
// any other offset returned must be a divisor. (kernel is left as Gmp.)
KernelReport check_opencl(OpenClDevice& device, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures);

// The text of a status.txt whose resumed run (`tamrisk -r`) tests exactly
// the candidates of k_first <= k < k_first + span: d_low = 2 k_first p,
// d_high = 2 (k_first + span) p + 1, whose largest k is k_first + span and
// is left out as the plan leaves out the top of its range; start and end
// depth "%3.3f", rounded down from d_low and up from d_high. Needs
// k_first >= 1 and span >= 1.
std::string search_checkpoint(std::uint64_t p, std::uint64_t k_first, std::uint64_t span);

// Values of k searched around a row's k in the search part.
inline constexpr std::uint64_t kSearchSpan = 100000;
// TAMRISK_THREADS of each run of the program.
inline constexpr int kSearchThreads = 3;

// Runs program -r once for the serial-th row of the search sample, on the
// device when one is given (TAMRISK_DEVICE=opencl:P:D). Returns nothing when
// the factor line is in results.txt and the exit status is 0 (and, on a
// device, stderr holds nothing but the line naming it), else the reason.
std::optional<std::string> search_row(const std::string& program, const SelftestRow& row,
                                      std::size_t serial, const OpenClDevice* device);

struct SearchReport {
  std::size_t runs = 0;
  std::size_t found = 0;
};
SearchReport check_search(const std::string& program, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures);

// The path of `name` in the folder of the running executable.
std::string beside_self(const std::string& name);

// ---------------------------------------------------------------------------
// The whole self-test, its report on out; returns the exit status (0 or 1).
// SIGINT, SIGTERM and SIGHUP stop it early: the running program is stopped,
// the temporary directory removed, and selftest_interruption() names the
// signal, which main raises again once everything is cleaned up.
int run_selftest(bool quick, std::FILE* out);
int selftest_interruption();
