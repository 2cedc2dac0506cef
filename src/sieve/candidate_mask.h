// SPDX-License-Identifier: MIT
// Candidate window and candidate mask of one segment, with the residue marks.
//
// A segment covers N consecutive values of k from k_first; bit i of the mask
// stands for the candidate d_i = 2 (k_first + i) p + 1 and a set bit means
// the candidate needs no test. build_candidate_mask fills the window (the
// first 66000 candidates, used by the small-prime sieve), resets the mask to
// 2^N (bit N stays set, so it is never tested) and marks:
//   - among bits 0..59 every candidate congruent to 3 or 5 mod 8 (bit 60 too
//     when the pairs of marks run into it), whatever N is;
//   - from the anchor (the first bit whose candidate is 1 mod 120) in periods
//     of 60 bits, while the period starts below N - 60, every candidate that
//     is 3 or 5 mod 8 or divisible by 3 or 5, by the class pattern of p.
// It never marks a candidate that survives those rules. For p not prime to
// 30 no class pattern applies; only the head marks are laid down.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/big_int.h"

inline constexpr std::int32_t kWindowSize = 66000;  // candidates in the window
inline constexpr int kClassCount = 16;              // rows of the class table
inline constexpr int kPeriod = 60;                  // bits per class period
inline constexpr int kPatternLength = 44;           // marked offsets per period

// The first kWindowSize candidates of a segment: entry j is d_0 + j * 2p.
// Created once per run (every entry 1) and refilled for each segment.
struct CandidateWindow {
  std::vector<BigInt> entries = std::vector<BigInt>(kWindowSize, BigInt(1));
};

// The exclusion rule on a candidate's residue modulo 120: true when the
// candidate is 3 or 5 mod 8, or divisible by 3 or by 5.
constexpr bool excluded_residue(unsigned residue_mod_120) {
  const unsigned r8 = residue_mod_120 % 8;
  return r8 == 3 || r8 == 5 || residue_mod_120 % 3 == 0 || residue_mod_120 % 5 == 0;
}

// Class residues (2p + 1) mod 120, one per residue of p mod 60 prime to 60.
inline constexpr std::array<unsigned, kClassCount> kClassResidues = {
    3, 15, 23, 27, 35, 39, 47, 59, 63, 75, 83, 87, 95, 99, 107, 119};

using ClassPattern = std::array<std::int8_t, kPatternLength>;

// The offsets 1..59, increasing, that the exclusion rule marks in a period
// of the given row.
const ClassPattern& class_pattern(int row);

// The row whose class residue is residue_mod_120, or -1 when none is.
int class_row(unsigned residue_mod_120);

// Head marking: from the residues mod 8 of the first two candidates, whether
// bit 0 is marked on its own and where the pairs of marks start.
struct HeadStart {
  bool bit0_alone = false;
  int first_pair = 0;  // pairs (r, r + 1) for r = first_pair, +4, ... <= 59
};
HeadStart head_start(unsigned t0, unsigned t1);

// Entry j = first + j * two_p for every entry of the window.
void fill_window(CandidateWindow& window, mpz_srcptr first, mpz_srcptr two_p);

// The first index of the window whose entry is 1 mod 120, or -1.
std::int32_t find_anchor(const CandidateWindow& window);

// Lays the head marks from the first two window entries.
void mark_head(const CandidateWindow& window, mpz_ptr mask);

// Lays the pattern of `row` from the anchor on, for periods starting below
// N - 60.
void mark_class_periods(mpz_ptr mask, std::int32_t anchor, int row, std::int32_t segment_size);

// Window, reset to 2^N and residue marks of the segment whose offset 0 has
// the candidate `first` (= 2 k_first p + 1). Requires segment_size >= 0.
void build_candidate_mask(CandidateWindow& window, mpz_ptr mask, mpz_srcptr first,
                          mpz_srcptr two_p, std::int32_t segment_size);
