// SPDX-License-Identifier: MIT
// Entry point of tamrisk-selftest: the command line, the self-test, and an
// interruption passed on once the self-test has cleaned up after itself.
#include <csignal>
#include <cstdio>

#include "tools/selftest.h"

int main(int argc, char** argv) {
  const SelftestArgs args = parse_selftest_args(argc, argv);
  switch (args.action) {
    case SelftestAction::Help:
      print_selftest_usage(stdout, true);
      return 0;
    case SelftestAction::BadUsage:
      print_selftest_usage(stderr, false);
      return 2;
    case SelftestAction::Run:
      break;
  }
  const int status = run_selftest(args.quick, stdout);
  if (const int sig = selftest_interruption(); sig != 0) {
    // Die of the signal, as the shell expects of an interrupted program.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
  return status;
}
