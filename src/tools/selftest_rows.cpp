// SPDX-License-Identifier: MIT
#include "tools/selftest_rows.h"

#include <gmp.h>

#include <algorithm>

#include "core/big_int.h"
#include "core/candidate.h"
#include "core/cpu_tuning.h"
#include "tools/known_factors.h"

namespace {

constexpr std::size_t kQuickStride = 16;     // --quick tries every 16th row
constexpr std::size_t kShortBatchCycle = 5;  // one batch in five is cut short
constexpr unsigned kBandBits = 8;            // size bands of the search sample

bool is_prime(u128 d) {
  BigInt n;
  set_u128(n, d);
  return mpz_probab_prime_p(n, 30) != 0;
}

}  // namespace

std::vector<SelftestRow> selftest_rows() {
  std::vector<SelftestRow> rows;
  for (const KnownFactor& f : known_factors()) {
    SelftestRow row;
    row.p = f.p;
    row.k = f.k;
    row.d = 2 * u128(f.k) * f.p + 1;
    row.bits = bit_length(row.d);
    rows.push_back(row);
  }
  return rows;
}

std::vector<SelftestRow> kernel_sample(std::span<const SelftestRow> rows, bool quick) {
  if (!quick) return {rows.begin(), rows.end()};
  std::vector<SelftestRow> out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i % kQuickStride == 0 || i + 1 == rows.size()) out.push_back(rows[i]);
  }
  return out;
}

std::vector<SelftestRow> search_sample(std::span<const SelftestRow> rows, bool quick) {
  // Rows with prime d, grouped by band in the table's order (by size).
  std::vector<std::vector<SelftestRow>> bands;
  for (const SelftestRow& row : rows) {
    const std::size_t band = row.bits / kBandBits;
    if (bands.size() <= band) bands.resize(band + 1);
    if (is_prime(row.d)) bands[band].push_back(row);
  }
  std::vector<SelftestRow> out;
  for (const auto& band : bands) {
    if (band.empty()) continue;
    std::vector<std::size_t> picks{band.size() / 2};
    if (!quick) picks = {0, band.size() / 2, band.size() - 1};
    std::sort(picks.begin(), picks.end());
    picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
    for (std::size_t i : picks) out.push_back(band[i]);
  }
  return out;
}

BatchLayout batch_layout(std::size_t serial) {
  BatchLayout layout;
  layout.size = serial % kShortBatchCycle == kShortBatchCycle - 1
                    ? 1 + (serial * 389) % (kKernelBatch - 1)
                    : kKernelBatch;
  const std::size_t n = layout.size, quarter = n / 4;
  // With whole batches the m-th place is m * 1024 + 4 serial + m (mod 4096):
  // modulo a width w dividing 64 that is 4 serial + m, and modulo 48 it is
  // 17 m + 4 serial; one short batch in five (a cycle prime to 2 and 3) does
  // not keep any of these residues from coming round.
  layout.planted = {0, n - 1};
  for (std::size_t m = 0; m < 4; ++m) layout.planted.push_back((m * quarter + 4 * serial + m) % n);
  std::sort(layout.planted.begin(), layout.planted.end());
  layout.planted.erase(std::unique(layout.planted.begin(), layout.planted.end()),
                       layout.planted.end());
  return layout;
}

void fill_neighbours(const SelftestRow& row, unsigned max_bits, std::vector<u128>& d,
                     std::size_t n) {
  std::size_t filled = 0;
  const u128 two_p = 2 * u128(row.p);
  const auto accept = [&](u128 candidate) {
    if (filled < n && bit_length(candidate) <= max_bits) d[filled++] = candidate;
  };
  for (std::uint64_t j = 1; filled < n && j <= 2 * kKernelBatch; ++j) {
    accept((u128(row.k) + j) * two_p + 1);
    if (row.k > j) accept((u128(row.k) - j) * two_p + 1);
  }
  // Both sides are blocked only for a d at the bound with a small k, which
  // no row of the table is; repeat what there is rather than leave lanes
  // unset.
  for (std::size_t i = filled; i < n && filled > 0; ++i) d[i] = d[i % filled];
}

bool divides_mersenne_number(std::uint64_t p, u128 d) {
  const BigInt exponent(p);
  BigInt divisor, residue;
  set_u128(divisor, d);
  return divides_mersenne(residue, exponent, divisor);
}

std::string u128_decimal(u128 x) {
  BigInt v;
  set_u128(v, x);
  return to_decimal(v);
}

std::string name_row(const SelftestRow& row) {
  return "M" + std::to_string(row.p) + " k=" + std::to_string(row.k) + " d=" + u128_decimal(row.d);
}
