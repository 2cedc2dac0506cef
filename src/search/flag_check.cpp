// SPDX-License-Identifier: MIT
#include "search/flag_check.h"

#include <algorithm>

#include "kernels/kernels.h"

std::int64_t check_flags(const SegmentCandidates& segment, std::vector<std::uint32_t> flagged,
                         unsigned bits, std::vector<Flag>& checked) {
  checked.clear();
  std::sort(flagged.begin(), flagged.end());
  std::vector<u128> d(flagged.size()), r(flagged.size());
  for (std::size_t i = 0; i < flagged.size(); ++i) d[i] = segment.base + segment.step * flagged[i];
  powm2_batch(choose_kernel(segment.max_bits), segment.p, d.data(), d.size(), r.data());
  for (std::size_t i = 0; i < flagged.size(); ++i) {
    // A residue is never 0 (d is odd and above 1), so it has a lowest 1.
    const auto low = static_cast<std::uint64_t>(r[i]);
    const unsigned zero_bits =
        low != 0
            ? __builtin_ctzll(low)
            : 64 + static_cast<unsigned>(__builtin_ctzll(static_cast<std::uint64_t>(r[i] >> 64)));
    if (r[i] == 0 || zero_bits < bits) return flagged[i];
    checked.push_back({flagged[i], zero_bits});
  }
  return -1;
}
