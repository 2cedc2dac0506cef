// SPDX-License-Identifier: MIT
#include "driver/threads.h"

#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

std::optional<int> parse_thread_count(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;  // 1024 has four digits
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxThreads) return std::nullopt;
  return value;
}

int usable_cpus() {
  // The mask may be larger than the default cpu_set_t on machines with
  // many CPUs: grow it until the kernel accepts it.
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20); cpus *= 2) {
    std::vector<unsigned char> storage(CPU_ALLOC_SIZE(cpus));
    auto* set = reinterpret_cast<cpu_set_t*>(storage.data());
    if (sched_getaffinity(0, storage.size(), set) == 0) {
      const int count = CPU_COUNT_S(storage.size(), set);
      return count < 1 ? 1 : (count > kMaxThreads ? kMaxThreads : count);
    }
  }
  const unsigned fallback = std::thread::hardware_concurrency();
  return fallback == 0 ? 1 : static_cast<int>(std::min<unsigned>(fallback, kMaxThreads));
}

std::optional<int> run_thread_count() {
  const char* value = std::getenv(kThreadsVariable);
  if (value == nullptr) return usable_cpus();
  const std::optional<int> count = parse_thread_count(value);
  if (!count) {
    std::fprintf(stderr, "%s: '%s' is not a whole number from 1 to %d\n", kThreadsVariable, value,
                 kMaxThreads);
  }
  return count;
}
