// SPDX-License-Identifier: MIT
#include "driver/modes.h"

#include <cstdio>

Mode parse_mode(int argc, const char* const* argv) {
  if (argc == 1) return Mode::NewRun;
  if (argc > 2 || argv[1][0] != '-') return Mode::Usage;
  switch (argv[1][1]) {  // the characters after the second are ignored
    case 'f':
      return Mode::Inspector;
    case 'b':
      return Mode::Benchmark;
    case 'r':
      return Mode::Resume;
    default:
      return Mode::Usage;  // includes "-h" and a lone "-"
  }
}

void usage() {
  std::fputs(
      "\n"
      "usage : ./tamrisk [-parameter]\n"
      "\n"
      "   -h : this screen\n"
      "   -f : get value and bit_depth of first factor\n"
      "   -b : run benchmark\n"
      "   -r : resume status.txt file in silent mode\n"
      "\n",
      stdout);
}
