// SPDX-License-Identifier: MIT
#include "core/bit_words.h"

#include "core/cpu_features.h"

namespace {

// Without a target flag the compiler counts with a library routine; x86-64
// processors from 2008 on have an instruction for it, taken when the
// processor reports it.
std::int64_t count_portable(const std::uint64_t* words, std::int64_t n) {
  std::int64_t count = 0;
  for (std::int64_t w = 0; w < n; ++w) count += __builtin_popcountll(words[w]);
  return count;
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) std::int64_t count_popcnt(const std::uint64_t* words,
                                                            std::int64_t n) {
  std::int64_t count = 0;
  for (std::int64_t w = 0; w < n; ++w) count += __builtin_popcountll(words[w]);
  return count;
}
#endif

}  // namespace

std::int64_t count_set_words(const std::uint64_t* words, std::int64_t n) {
#if defined(__x86_64__)
  if (cpu_features().popcnt) return count_popcnt(words, n);
#endif
  return count_portable(words, n);
}

std::int64_t count_set_bits(const std::vector<std::uint64_t>& words, std::int64_t from,
                            std::int64_t to) {
  if (from >= to) return 0;
  const std::int64_t first = from >> 6, last = (to - 1) >> 6;
  const auto edge = [&](std::int64_t w) {
    return static_cast<std::int64_t>(
        __builtin_popcountll(words[static_cast<std::size_t>(w)] & range_bits(w, from, to)));
  };
  if (first == last) return edge(first);
  return edge(first) + count_set_words(words.data() + first + 1, last - first - 1) + edge(last);
}
