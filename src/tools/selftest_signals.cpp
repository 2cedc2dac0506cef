// SPDX-License-Identifier: MIT
#include "tools/selftest_signals.h"

#include <cstddef>

namespace {

constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};

// The signal that asked the self-test to stop, 0 while none has.
volatile sig_atomic_t g_signal = 0;

void on_signal(int sig) { g_signal = sig; }

}  // namespace

SelftestSignals::SelftestSignals() {
  g_signal = 0;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &previous_[i]);
}

SelftestSignals::~SelftestSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
}

bool selftest_interrupted() { return g_signal != 0; }

int selftest_interruption() { return g_signal; }
