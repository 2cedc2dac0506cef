// SPDX-License-Identifier: MIT
// Bit sets held in 64-bit words (bit t in word t / 64, at t mod 64), where a
// set bit marks a candidate that needs no test: single bits, the clear bits
// of a range a word at a time, the last clear bit and the count of a range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline void set_bit(std::vector<std::uint64_t>& words, std::int64_t t) {
  words[static_cast<std::size_t>(t >> 6)] |= std::uint64_t{1} << (t & 63);
}

inline bool bit_is_set(const std::vector<std::uint64_t>& words, std::int64_t t) {
  return (words[static_cast<std::size_t>(t >> 6)] >> (t & 63)) & 1;
}

// The bits of word w that lie in [from, to), as a mask, for from / 64 <= w
// <= (to - 1) / 64.
inline std::uint64_t range_bits(std::int64_t w, std::int64_t from, std::int64_t to) {
  std::uint64_t bits = ~std::uint64_t{0};
  if (w == from >> 6) bits &= ~std::uint64_t{0} << (from & 63);
  if (w == (to - 1) >> 6 && (to & 63) != 0) bits &= ~std::uint64_t{0} >> (64 - (to & 63));
  return bits;
}

// The clear bits of word w that lie in [from, to), for from / 64 <= w <=
// (to - 1) / 64.
inline std::uint64_t clear_bits_in(const std::uint64_t* words, std::int64_t w, std::int64_t from,
                                   std::int64_t to) {
  return ~words[w] & range_bits(w, from, to);
}

// Calls word(bit0, free) for each word that holds bits of [from, to), in
// increasing order: bit0 is the word's first bit, free its clear bits within
// the range.
template <typename Word>
void for_each_clear_word(const std::vector<std::uint64_t>& words, std::int64_t from,
                         std::int64_t to, Word&& word) {
  if (from >= to) return;
  for (std::int64_t w = from >> 6, last = (to - 1) >> 6; w <= last; ++w) {
    word(w << 6, clear_bits_in(words.data(), w, from, to));
  }
}

// The set bits of n whole words, by the CPU's population count where it
// has one.
std::int64_t count_set_words(const std::uint64_t* words, std::int64_t n);

// The set bits in [from, to) (none when from >= to).
std::int64_t count_set_bits(const std::vector<std::uint64_t>& words, std::int64_t from,
                            std::int64_t to);

// The highest clear bit in [from, to), or -1.
inline std::int64_t last_clear_bit(const std::vector<std::uint64_t>& words, std::int64_t from,
                                   std::int64_t to) {
  if (from >= to) return -1;
  for (std::int64_t w = (to - 1) >> 6; w >= (from >> 6); --w) {
    const std::uint64_t free = clear_bits_in(words.data(), w, from, to);
    if (free != 0) return (w << 6) + 63 - __builtin_clzll(free);
  }
  return -1;
}
