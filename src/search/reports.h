// SPDX-License-Identifier: MIT
// What a search shows and records as it goes: the only writers of the lines
// a segment prints, so that one place decides what reaches the console and
// in what order.
//
//   print_segment_start   "\nReinitializing sieve\n"
//   print_sieve_report    "\nSieve time   : %3.3f secs. sieve percentage : %3.3f\n"
//   print_factor          "\rM<p> has a factor: <d>", the bit-depth display, "\n"
//   print_progress        "\nk=<k>, d=<d>" and the bit-depth display, left open
//   report_factor         print_factor, then the record in results.txt
//   report_chunk          a chunk's divisors (report_factor each), then its
//                         progress line
//
// Each flushes what it leaves on an open line, so the console shows it now.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "core/run_state.h"

// Processor seconds between two clock readings, as the sieve report holds them.
float clock_seconds(std::clock_t start, std::clock_t end);

void print_segment_start();

// The sieve time and the percentage of `marked` among the segment's N
// offsets (0.000 for N = 0).
void print_sieve_report(float seconds, std::int64_t marked, std::int32_t segment_size);

void print_factor(mpz_srcptr p, mpz_srcptr d);

void print_progress(mpz_srcptr k, mpz_srcptr d);

// A divisor found at state.k, state.d: console report, results record,
// factor_found (and record_failed when the record could not be written).
void report_factor(RunState& state);

// The lines of a chunk of the segment from state.k_first: the divisors at
// the offsets hits (increasing), each reported, then the progress line
// naming the candidate at last_clear, or the one named before when it is
// -1 (the chunk tested none). state.k and state.d follow.
void report_chunk(RunState& state, std::int64_t last_clear, const std::vector<std::int64_t>& hits);
