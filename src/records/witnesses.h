// SPDX-License-Identifier: MIT
// The witness list witnesses.txt in the working directory (core/witness.h):
//
//   p S_p k_first k_end        the run's exponent, witness bits and k range
//   k                          one line per witness, increasing
//   ...
//   through K                  the range searched so far: k_first .. K
//
// It is replaced atomically (before status.txt) after every segment that
// found a witness or moved the range, and read by a resumed run and by
// tamrisk-verify.
#pragma once

#include <string>
#include <vector>

#include "core/big_int.h"

inline constexpr const char* kWitnessFile = "witnesses.txt";

struct WitnessRecord {
  BigInt p{0};
  unsigned bits = 0;  // S_p
  BigInt k_first{0}, k_end{0};
  std::vector<BigInt> ks;  // the witnesses' k
  BigInt through{0};       // the last k searched (k_first - 1: none yet)
};

// The file's text.
std::string witness_text(const WitnessRecord& record);

// Replaces path by the record; false after one line on stderr naming the
// file and the reason.
bool write_witnesses(const WitnessRecord& record, const char* path = kWitnessFile);

// Reads path: its lines as written above, each value a whole decimal number,
// with nothing else on a line but single spaces between the header's values
// (a final line end may be missing). Returns false with the reason in *why
// (the file's name not included) when the file cannot be read or is not of
// that form; what the values say (order, range) is not judged here.
bool read_witnesses(const char* path, WitnessRecord& record, std::string* why);
