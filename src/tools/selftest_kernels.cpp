// SPDX-License-Identifier: MIT
#include "tools/selftest_kernels.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/cpu_tuning.h"
#include "tools/selftest_signals.h"

KernelReport check_kernel(Kernel kernel, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures) {
  KernelReport report;
  report.kernel = kernel;
  report.available = kernel_available(kernel);
  if (!report.available) return report;
  const unsigned max_bits = kernel_max_bits(kernel);
  const std::string name(kernel_name(kernel));
  std::vector<u128> d(kKernelBatch);
  std::vector<std::uint8_t> flags(kKernelBatch);
  std::vector<bool> is_planted(kKernelBatch);
  std::size_t serial = 0;
  for (const SelftestRow& row : rows) {
    if (selftest_interrupted()) break;
    if (row.bits > max_bits) continue;
    const BatchLayout layout = batch_layout(serial++);
    const std::size_t n = layout.size;
    ++report.tried;
    fill_neighbours(row, max_bits, d, n);
    std::fill(is_planted.begin(), is_planted.end(), false);
    for (std::size_t lane : layout.planted) {
      d[lane] = row.d;
      is_planted[lane] = true;
    }
    // 2 is neither verdict: a lane the kernel leaves unwritten shows.
    std::fill(flags.begin(), flags.end(), std::uint8_t{2});
    divides_batch(kernel, row.p, d.data(), n, flags.data());

    std::optional<std::size_t> missed_lane;
    for (std::size_t i = 0; i < n; ++i) {
      if (is_planted[i]) {
        if (flags[i] != 1 && !missed_lane) missed_lane = i;
      } else if (flags[i] != 0 && !(flags[i] == 1 && divides_mersenne_number(row.p, d[i]))) {
        ++report.false_divisors;
        const std::string what = flags[i] == 1
                                     ? "flagged as a divisor, which it is not"
                                     : "left with verdict " + std::to_string(flags[i]);
        failures.push_back(name + " M" + std::to_string(row.p) + " d=" + u128_decimal(d[i]) +
                           " (lane " + std::to_string(i) + " of " + std::to_string(n) +
                           "): " + what);
      }
    }
    if (missed_lane) {
      failures.push_back(name + " " + name_row(row) + " (lane " + std::to_string(*missed_lane) +
                         " of " + std::to_string(n) + ")");
    } else {
      ++report.found;
    }
  }
  return report;
}
