// SPDX-License-Identifier: MIT
// The self-test's interruption: while a SelftestSignals lives, SIGINT,
// SIGTERM and SIGHUP only note the signal, which every part checks between
// rows (selftest_interrupted) so that it can stop its program and remove
// its temporary directory before the self-test ends.
#pragma once

#include <signal.h>

#include <array>

// Installs the noting handler for the three signals and clears any signal
// noted before; puts the previous handlers back when it goes.
class SelftestSignals {
 public:
  SelftestSignals();
  ~SelftestSignals();
  SelftestSignals(const SelftestSignals&) = delete;
  SelftestSignals& operator=(const SelftestSignals&) = delete;

 private:
  std::array<struct sigaction, 3> previous_{};
};

// Whether a signal asked the self-test to stop.
bool selftest_interrupted();

// The signal that asked the self-test to stop, 0 while none has.
int selftest_interruption();
