// SPDX-License-Identifier: MIT
// The self-test's rows: the table of known factors (known_factors.h) as
// divisors d = 2kp + 1, the samples of it that the kernel and search parts
// try, the batches a kernel is handed for a row, and how a row and a
// verdict on a candidate are written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/u128.h"

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
// (serial counting from 0): its size, a whole batch of the fast walk
// (kKernelBatch, 4096) for four rows in five and a shorter one for the
// fifth, and the lanes where the row's d is planted, increasing: the first,
// the last, and one in each quarter at a place that moves on with serial,
// so that over consecutive rows every lane position modulo any kernel's
// width up to 64 is met.
struct BatchLayout {
  std::size_t size = 0;
  std::vector<std::size_t> planted;
};
BatchLayout batch_layout(std::size_t serial);

// Candidates 2k'p + 1 of the row's exponent near its k, alternately above
// and below, within max_bits, into d[0 .. n). They almost never divide
// M(p); a flag on one is judged by divides_mersenne_number.
void fill_neighbours(const SelftestRow& row, unsigned max_bits, std::vector<u128>& d,
                     std::size_t n);

// Whether d divides M(p), by the integer library (core/candidate.h): the
// independent judge of a flag.
bool divides_mersenne_number(std::uint64_t p, u128 d);

// The decimal text of x.
std::string u128_decimal(u128 x);

// "M<p> k=<k> d=<d>": a row as the failures name it.
std::string name_row(const SelftestRow& row);
