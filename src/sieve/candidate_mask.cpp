// SPDX-License-Identifier: MIT
#include "sieve/candidate_mask.h"

#include <cassert>

namespace {

// Offset j of a period starts at a candidate 1 mod 120 and steps by 2p, so
// its candidate is 1 + j * (R - 1) mod 120 for the class residue R = 2p + 1.
constexpr int excluded_offsets(int row) {
  const unsigned step = kClassResidues[static_cast<std::size_t>(row)] - 1;
  int n = 0;
  for (unsigned j = 1; j < kPeriod; ++j) n += excluded_residue((1 + j * step) % 120) ? 1 : 0;
  return n;
}

constexpr bool every_row_has_44_offsets() {
  for (int row = 0; row < kClassCount; ++row) {
    if (excluded_offsets(row) != kPatternLength) return false;
  }
  return true;
}
static_assert(every_row_has_44_offsets());

constexpr std::array<ClassPattern, kClassCount> make_patterns() {
  std::array<ClassPattern, kClassCount> patterns{};
  for (std::size_t row = 0; row < kClassCount; ++row) {
    const unsigned step = kClassResidues[row] - 1;
    std::size_t n = 0;
    for (unsigned j = 1; j < kPeriod; ++j) {
      if (excluded_residue((1 + j * step) % 120)) patterns[row][n++] = static_cast<std::int8_t>(j);
    }
  }
  return patterns;
}

constexpr std::array<ClassPattern, kClassCount> kPatterns = make_patterns();

}  // namespace

const ClassPattern& class_pattern(int row) {
  assert(row >= 0 && row < kClassCount);
  return kPatterns[static_cast<std::size_t>(row)];
}

int class_row(unsigned residue_mod_120) {
  for (int row = 0; row < kClassCount; ++row) {
    if (kClassResidues[static_cast<std::size_t>(row)] == residue_mod_120) return row;
  }
  return -1;
}

HeadStart head_start(unsigned t0, unsigned t1) {
  // Consecutive candidates step by 2p, which is 2 or 6 mod 8: the residues
  // mod 8 run through a cycle of four in which 3 and 5 stand side by side.
  switch (t0) {
    case 1: return {false, t1 == 3 ? 1 : 2};
    case 3: return t1 == 5 ? HeadStart{false, 0} : HeadStart{true, 3};
    case 5: return t1 == 7 ? HeadStart{true, 3} : HeadStart{false, 0};
    case 7: return {false, t1 == 1 ? 2 : 1};
    default: return {false, kPeriod};  // an even candidate: not reached, marks nothing
  }
}

void fill_window(CandidateWindow& window, mpz_srcptr first, mpz_srcptr two_p) {
  auto& e = window.entries;
  mpz_set(e[0], first);
  for (std::size_t j = 1; j < e.size(); ++j) mpz_add(e[j], e[j - 1], two_p);
}

std::int32_t find_anchor(const CandidateWindow& window) {
  for (std::int32_t j = 0; j < kWindowSize; ++j) {
    if (mpz_fdiv_ui(window.entries[static_cast<std::size_t>(j)], 120) == 1) return j;
  }
  return -1;
}

void mark_head(const CandidateWindow& window, mpz_ptr mask) {
  const auto t0 = static_cast<unsigned>(mpz_fdiv_ui(window.entries[0], 8));
  const auto t1 = static_cast<unsigned>(mpz_fdiv_ui(window.entries[1], 8));
  const HeadStart start = head_start(t0, t1);
  if (start.bit0_alone) mpz_setbit(mask, 0);
  for (int r = start.first_pair; r <= kPeriod - 1; r += 4) {
    mpz_setbit(mask, static_cast<mp_bitcnt_t>(r));
    mpz_setbit(mask, static_cast<mp_bitcnt_t>(r + 1));
  }
}

void mark_class_periods(mpz_ptr mask, std::int32_t anchor, int row, std::int32_t segment_size) {
  const ClassPattern& pattern = class_pattern(row);
  const std::int64_t bound = std::int64_t{segment_size} - kPeriod;
  for (std::int64_t s = anchor; s < bound; s += kPeriod) {
    for (const std::int8_t j : pattern) mpz_setbit(mask, static_cast<mp_bitcnt_t>(s + j));
  }
}

void build_candidate_mask(CandidateWindow& window, mpz_ptr mask, mpz_srcptr first,
                          mpz_srcptr two_p, std::int32_t segment_size) {
  assert(segment_size >= 0);
  fill_window(window, first, two_p);
  mpz_ui_pow_ui(mask, 2, static_cast<unsigned long>(segment_size));
  mark_head(window, mask);

  const std::int32_t anchor = find_anchor(window);
  if (anchor < 0 || anchor + 1 >= kWindowSize) return;
  // The candidate after the anchor is 1 + 2p mod 120: it names p's class.
  const auto residue =
      static_cast<unsigned>(mpz_fdiv_ui(window.entries[static_cast<std::size_t>(anchor) + 1], 120));
  const int row = class_row(residue);
  if (row < 0) return;  // p not prime to 30: no pattern applies
  mark_class_periods(mask, anchor, row, segment_size);
}
