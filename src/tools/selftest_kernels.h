// SPDX-License-Identifier: MIT
// The self-test's kernel part: rows through an exponentiation kernel of
// the CPU, called as the fast walk calls it (batches of selftest_rows.h's
// layout, the row's d planted among its neighbours). A row is found when
// every planted lane is flagged; a flag on any other lane must be a true
// divisor, else it is a false divisor and a fault as well.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "tools/selftest_rows.h"

struct KernelReport {
  Kernel kernel = Kernel::Gmp;
  bool available = false;
  std::size_t tried = 0;           // rows within the kernel's bound
  std::size_t found = 0;           // rows flagged in every planted lane
  std::size_t false_divisors = 0;  // lanes flagged whose d does not divide M(p)
};

// Tries every row within the kernel's bound (none when this CPU does not
// offer it); appends one text per row missed or lane misjudged to failures.
KernelReport check_kernel(Kernel kernel, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures);
