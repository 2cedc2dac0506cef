// SPDX-License-Identifier: MIT
// tamrisk-verify [FILE]: checks a witness list (records/witnesses.h, by
// default witnesses.txt) without any GPU: every line (its k inside the
// range searched and in increasing order, d = 2kp + 1 prime, the low S_p
// bits of 2^p mod d zero) and the count against its expectation for the
// range searched (within six standard deviations; core/witness.h). It
// prints one line per fault, then the verdict
//
//   witnesses ok: N of about E expected for M<p> k = A .. B
//   witnesses FAILED: F faults in N witnesses for M<p> k = A .. B
//
// and gives exit status 0 (ok), 1 (a fault) or 2 (an unreadable file or a
// bad command line, with one line on stderr).
#pragma once

#include <cstdio>
#include <string>

// The exit status of a check of the file at path, the report on out and
// the reason a file cannot be read on err.
int verify_witness_file(const std::string& path, std::FILE* out, std::FILE* err);

// The whole program: its command line, then the check.
int verify_main(int argc, const char* const* argv);
