// SPDX-License-Identifier: MIT
// tamrisk-selftest: does this machine, with this build, find factors? It
// checks the known divisors of known_factors.h in two parts, each in a unit
// of its own (selftest_rows.h, selftest_kernels.h, selftest_opencl.h,
// selftest_search.h); this one holds the command line and the whole run.
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

#include <cstdio>

#include "tools/selftest_kernels.h"
#include "tools/selftest_opencl.h"
#include "tools/selftest_rows.h"
#include "tools/selftest_search.h"
#include "tools/selftest_signals.h"

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
// The whole self-test, its report on out; returns the exit status (0 or 1).
// Each part appends to its failures one text per row missed (or fault), in
// the order met, naming the part, p, k and d. SIGINT, SIGTERM and SIGHUP
// stop it early: the running program is stopped, the temporary directory
// removed, and selftest_interruption() (selftest_signals.h) names the
// signal, which main raises again once everything is cleaned up.
int run_selftest(bool quick, std::FILE* out);
