// SPDX-License-Identifier: MIT
// Command-line modes. Only a single argument beginning with '-' selects a
// mode, by its second character alone (case-sensitive): f inspector,
// b benchmark, r resume. No argument starts a new run; anything else shows
// the usage screen.
#pragma once

enum class Mode { NewRun, Resume, Inspector, Benchmark, Usage };

Mode parse_mode(int argc, const char* const* argv);

// Prints the usage screen. The caller ends the program with status 0.
void usage();
