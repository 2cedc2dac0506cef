// The fast mask against the reference mask, bit for bit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/big_int.h"
#include "sieve/candidate_mask.h"
#include "sieve/fast_mask.h"
#include "sieve/prime_table.h"
#include "sieve/small_primes.h"
#include "support/prime_table.h"

namespace {

struct Segment {
  std::string p;        // decimal exponent
  std::string k_first;  // decimal
  std::int32_t n;
  float end_bits;       // decides the number of sieving primes
};

std::string describe(const Segment& s) {
  return "p=" + s.p + " k_first=" + s.k_first + " n=" + std::to_string(s.n) +
         " end=" + std::to_string(s.end_bits);
}

// Builds both masks and compares every bit the walk could read, the count
// of marked bits, and the clear offsets that for_each_clear visits. With
// parts > 0 the fast mask is built in that many parts, marked last to first
// (a part that reset a word of another part would wipe that part's marks).
void expect_same_mask(const Segment& s, std::int64_t block_bits = 0,
                      const std::vector<int>& parts_list = {0}) {
  BigInt p, k, two_p, first;
  mpz_set_str(p, s.p.c_str(), 10);
  mpz_set_str(k, s.k_first.c_str(), 10);
  mpz_mul_ui(two_p, p, 2);
  mpz_mul(first, k, two_p);
  mpz_add_ui(first, first, 1);
  const std::int32_t count = sieve_prime_count_for(built_prime_table(), s.end_bits);

  static CandidateWindow window;
  BigInt reference;
  build_candidate_mask(window, reference, first, two_p, s.n);
  mark_small_primes(built_prime_table(), count, window, reference, s.n);

  FastSieveContext ctx;
  prepare_fast_sieve(ctx, built_prime_table(), count, p);
  if (block_bits > 0) ctx.block_bits = block_bits;
  const std::int64_t bits = std::max<std::int64_t>(std::int64_t{s.n} + 1, 61);
  std::vector<std::int64_t> clear;
  for (std::int64_t i = 0; i < s.n; ++i) {
    if (!mpz_tstbit(reference, static_cast<mp_bitcnt_t>(i))) clear.push_back(i);
  }
  for (const int parts : parts_list) {
    SCOPED_TRACE(describe(s) + " parts " + std::to_string(parts));
    FastMask fast;
    if (parts == 0) {
      build_fast_mask(fast, ctx, k, s.n);
    } else {
      start_fast_mask(fast, ctx, k, s.n);
      std::vector<std::int64_t> next;
      for (int part = parts - 1; part >= 0; --part) {
        mark_fast_mask_part(fast, ctx, part, parts, next);
      }
    }
    const std::vector<std::uint64_t> words = expand_fast_mask(fast);
    std::int64_t mismatches = 0;
    for (std::int64_t i = 0; i < bits; ++i) {
      const bool want = mpz_tstbit(reference, static_cast<mp_bitcnt_t>(i));
      const bool got = (words[static_cast<std::size_t>(i >> 6)] >> (i & 63)) & 1;
      if (want != got && mismatches++ < 5) {
        ADD_FAILURE() << "bit " << i << " reference " << want << " fast " << got;
      }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(fast_count_marked(fast), count_marked(reference, s.n));
    std::vector<std::int64_t> visited;
    for_each_clear(fast, 0, s.n, [&](std::int64_t off) { visited.push_back(off); });
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(visited, clear);
  }
}

TEST(FastMask, EqualsTheReferenceOnChosenSegments) {
  const Segment cases[] = {
      // The worked run and short segments: no period, head marks beyond N.
      {"11", "1", 46, 10.0f},
      {"11", "1", 0, 10.0f},
      {"11", "1", 1, 10.0f},
      {"11", "7", 19, 10.0f},
      {"61", "1", 120, 20.0f},
      {"61", "60", 121, 20.0f},  // anchor at bit 0, one period
      {"61", "59", 200, 20.0f},
      // Exponents that are not prime to 30 (a resumed run may hold one):
      // no class pattern, the whole segment is plain.
      {"3", "1", 5000, 30.0f},
      {"5", "17", 3000, 30.0f},
      {"9", "1", 4000, 30.0f},
      {"2", "1", 1000, 30.0f},
      // Exponents that are sieving primes themselves: no multiple at all.
      {"1277", "1", 100000, 40.0f},
      {"69257", "123456", 200000, 58.0f},
      // Every t0/t1 start and every class row over a few periods.
      {"7", "1", 2000, 12.0f},   {"13", "2", 2000, 12.0f},   {"17", "3", 2000, 12.0f},
      {"19", "4", 2000, 12.0f},  {"23", "5", 2000, 12.0f},   {"29", "6", 2000, 12.0f},
      {"31", "7", 2000, 12.0f},  {"37", "8", 2000, 12.0f},   {"41", "9", 2000, 12.0f},
      {"43", "10", 2000, 12.0f}, {"47", "11", 2000, 12.0f},  {"49", "12", 2000, 12.0f},
      {"53", "13", 2000, 12.0f}, {"59", "14", 2000, 12.0f},  {"61", "15", 2000, 12.0f},
      {"67", "16", 2000, 12.0f},
      // Large exponents and k: above 2^61 and above 2^64.
      {"2305843009213693951", "1", 50000, 30.0f},
      {"2305843009213693951", "1000000000000000000000", 70000, 24.0f},
      {"170141183460469231731687303715884105727", "999", 10000, 20.0f},
      // Primes above 66000 in use, a segment of a few million.
      {"86249", "6683680417203", 3000000, 60.0f},
      {"3321928097", "31000000", 1000000, 57.2f},
  };
  for (const Segment& s : cases) expect_same_mask(s);
}

TEST(FastMask, BlockSizeDoesNotChangeTheMask) {
  // Many block boundaries inside each lane, for the word patterns of the
  // primes below 64 and the bit marks of the others alike.
  for (const std::int64_t block : {64, 128, 192, 4096}) {
    expect_same_mask({"86249", "6683680417203", 400000, 60.0f}, block);
    expect_same_mask({"1277", "61", 100000, 20.0f}, block);
  }
}

TEST(FastMask, BuiltInPartsEqualsTheReference) {
  // Parts as the threads of a run take them: fewer and more parts than the
  // 16 lanes, pieces of a lane shorter than a word, plain segments (p not
  // prime to 30) and segments shorter than the number of parts.
  const Segment segments[] = {
      {"86249", "6683680417203", 400000, 60.0f},
      {"3321928097", "31000000", 100000, 57.2f},
      {"9", "1", 40000, 30.0f},
      {"11", "1", 46, 10.0f},
      {"61", "60", 121, 20.0f},
      {"11", "7", 19, 10.0f},
  };
  for (const Segment& s : segments) expect_same_mask(s, 0, {1, 2, 3, 7, 16, 17, 64, 1024});
  expect_same_mask({"86249", "6683680417203", 400000, 60.0f}, 128, {5});
}

TEST(FastMask, EqualsTheReferenceOnRandomSegments) {
  const unsigned seed = 20261207;
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const char* exponents[] = {"11", "23", "1277", "86249", "1000003", "3321928097",
                             "18446744073709551557"};
  for (int round = 0; round < 30; ++round) {
    Segment s;
    s.p = exponents[rng() % std::size(exponents)];
    // k_first on and off multiples of 60.
    const std::uint64_t k = (rng() % 2 == 0) ? 60 * (1 + rng() % 100000) : 1 + rng() % 5000000;
    s.k_first = std::to_string(k);
    s.n = static_cast<std::int32_t>(rng() % (round < 24 ? 3000 : 300000));
    s.end_bits = static_cast<float>(2 + rng() % 20);
    expect_same_mask(s);
  }
}

}  // namespace
