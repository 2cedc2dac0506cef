// SPDX-License-Identifier: MIT
// The marks of the primes below 64 in a piece of a lane, a whole word at a
// time. Each such prime, and each pair of them, has one word pattern per
// shift (sieve_context.h); a cursor walks a pattern along the lane's words,
// ORing in a word and stepping the shift by 64 mod the pattern's period.
// Two primes that both mark the piece go through their pair's pattern from
// the first word past both first marks; before it, and for a prime whose
// partner marks nothing in the piece, each prime takes its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sieve/sieve_context.h"

struct PatternCursor {
  std::int64_t word, end;      // words [word, end) take the pattern
  std::uint32_t s;             // shift of the next word
  std::uint32_t period;        // of the pattern
  std::uint32_t advance;       // 64 mod period
  const std::uint64_t* shift;  // the pattern's words, by shift
};

struct LanePatterns {
  std::array<PatternCursor, 32> cursors{};
  std::size_t count = 0;
};

// How many of the context's first primes the lanes take by pattern.
std::size_t patterned_primes(const FastSieveContext& ctx);

// Starts the patterns of the piece [t_from, t_to) of a lane, whose words
// end at words_end, from next[i], each patterned prime's first mark in the
// piece (t_to: none): marks the word that holds each first mark, from the
// mark on, and sets next[i] to t_to, the prime being done by pattern.
// Bits past t_to in the last word may be set, which matters only where
// t_to is not the lane's end: there pieces end at a whole word.
LanePatterns start_lane_patterns(std::uint64_t* words, std::int64_t t_to, std::int64_t words_end,
                                 const FastSieveContext& ctx, std::vector<std::int64_t>& next);

// ORs every pattern into the words below word_end that it has not yet
// reached; called block by block with word_end growing.
void mark_lane_patterns(LanePatterns& patterns, std::uint64_t* words, std::int64_t word_end);
