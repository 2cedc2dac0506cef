// SPDX-License-Identifier: MIT
// Benchmark ("-b"): times the search's step for one candidate (advance k,
// form 2kp + 1, compute 2^p mod d with the integer library) 100000 times at
// each of twenty divisor sizes from 57 to 76 bits, and prints one line per
// size. Reads no input and writes no file.
#pragma once

void bench();
