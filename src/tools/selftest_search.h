// SPDX-License-Identifier: MIT
// The self-test's search part: the program `tamrisk` installed beside the
// self-test, resumed (`tamrisk -r`, with TAMRISK_THREADS=3) in a temporary
// directory on a checkpoint whose range of k holds a row's k; the run must
// exit with 0 and leave "M<p> has a factor: <d>" in results.txt. The
// directory is removed afterwards in every case. TAMRISK_KERNEL, when set,
// reaches the program as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gpu/opencl_device.h"
#include "tools/selftest_rows.h"

// The text of a status.txt (records/status.h's format) whose resumed run
// (`tamrisk -r`) tests exactly the candidates of k_first <= k < k_first +
// span: d_low = 2 k_first p, d_high = 2 (k_first + span) p + 1, whose
// largest k is k_first + span and is left out as the plan leaves out the
// top of its range; start and end depth rounded down from d_low and up
// from d_high to the 0.001 the file holds. Needs k_first >= 1 and span >= 1.
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
// One run of the program for each row, on the CPU; appends one text per
// row missed to failures.
SearchReport check_search(const std::string& program, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures);

// The path of `name` in the folder of the running executable.
std::string beside_self(const std::string& name);
