// SPDX-License-Identifier: MIT
// How many threads a run searches with: the value of TAMRISK_THREADS when it
// is set (a whole number from 1 to 1024), otherwise the number of CPUs that
// the process may run on (its affinity mask, so taskset, cgroup cpusets and
// batch schedulers are obeyed).
#pragma once

#include <optional>
#include <string_view>

inline constexpr const char* kThreadsVariable = "TAMRISK_THREADS";
inline constexpr int kMaxThreads = 1024;

// The number a value of TAMRISK_THREADS stands for: decimal digits only,
// from 1 to kMaxThreads; nullopt for anything else (empty, a sign, spaces,
// an exponent, junk after the digits, too large).
std::optional<int> parse_thread_count(std::string_view text);

// CPUs in the process's affinity mask (at least 1, at most kMaxThreads).
int usable_cpus();

// The thread count of a run, or nullopt after one line on stderr naming the
// variable and its unusable value.
std::optional<int> run_thread_count();
