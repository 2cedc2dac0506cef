// SPDX-License-Identifier: MIT
// The candidate mask of a segment, checked bit by bit against a plain
// evaluation of the marking rules on each candidate 2(k_first + i)p + 1.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "core/big_int.h"
#include "sieve/candidate_mask.h"
#include "sieve/prime_table.h"
#include "sieve/small_primes.h"

namespace {

// Residue of the candidate of bit i modulo m, from k_first and p alone.
std::uint64_t cand_mod(std::uint64_t p, std::uint64_t k_first, std::uint64_t i, std::uint64_t m) {
  const std::uint64_t k = (k_first % m + i % m) % m;
  return (2 * k % m * (p % m) + 1) % m;
}

bool rule_excludes(std::uint64_t r120) {
  return r120 % 8 == 3 || r120 % 8 == 5 || r120 % 3 == 0 || r120 % 5 == 0;
}

std::uint64_t pow_mod(std::uint64_t b, std::uint64_t e, std::uint64_t m) {
  std::uint64_t r = 1 % m;
  for (b %= m; e; e >>= 1, b = b * b % m) {
    if (e & 1) r = r * b % m;
  }
  return r;
}

// The mask the rules call for. Head: bits 0..59 whose candidate is 3 or 5
// mod 8, and bit 60 when it closes the pair started at 59. Periods: for p
// prime to 30, from the first k that is a multiple of 60 on, every period
// starting below N - 60 marks its candidates that the rule excludes. Primes:
// the first multiple j (by a modular inverse), if it lies in the window and
// below N - q, leaves j clear and marks j + q, j + 2q, ... below N.
void model_mask(mpz_ptr out, std::uint64_t p, std::uint64_t k_first, std::int32_t n,
                const std::vector<std::int32_t>& primes) {
  mpz_set_ui(out, 0);
  mpz_setbit(out, static_cast<mp_bitcnt_t>(n));
  auto bad8 = [&](std::uint64_t i) {
    const auto r = cand_mod(p, k_first, i, 8);
    return r == 3 || r == 5;
  };
  for (std::uint64_t i = 0; i < 60; ++i) {
    if (bad8(i)) mpz_setbit(out, i);
  }
  if (bad8(59) && bad8(60)) mpz_setbit(out, 60);

  if (std::gcd(p, std::uint64_t{30}) == 1) {
    const std::int64_t anchor = static_cast<std::int64_t>((60 - k_first % 60) % 60);
    for (std::int64_t s = anchor; s < std::int64_t{n} - 60; s += 60) {
      for (std::int64_t i = s; i < s + 60; ++i) {
        if (rule_excludes(cand_mod(p, k_first, static_cast<std::uint64_t>(i), 120))) {
          mpz_setbit(out, static_cast<mp_bitcnt_t>(i));
        }
      }
    }
  }

  for (const std::int32_t q32 : primes) {
    const auto q = static_cast<std::uint64_t>(q32);
    if (p % q == 0) continue;  // every candidate is 1 mod p
    // 2p(k_first + i) = -1 (mod q)  <=>  i = -(2p)^-1 - k_first (mod q)
    const std::uint64_t inv = pow_mod(2 * (p % q), q - 2, q);
    const std::uint64_t j = (2 * q - inv - k_first % q) % q;
    if (j >= 66000 || static_cast<std::int64_t>(j) >= std::int64_t{n} - q32) continue;
    for (std::uint64_t b = j + q; b < static_cast<std::uint64_t>(n); b += q) mpz_setbit(out, b);
  }
}

void first_candidate(mpz_ptr out, std::uint64_t p, std::uint64_t k_first) {
  mpz_set_ui(out, k_first);
  mpz_mul_ui(out, out, 2 * p);
  mpz_add_ui(out, out, 1);
}

SmallPrimeTable table_of(const std::vector<std::int32_t>& sieving) {
  SmallPrimeTable t;
  t.primes[0] = 2;
  t.primes[1] = 3;
  t.primes[2] = 5;
  t.count = 3;
  for (const std::int32_t q : sieving) t.primes[static_cast<std::size_t>(t.count++)] = q;
  return t;
}

std::string differing_bits(mpz_srcptr a, mpz_srcptr b) {
  BigInt x;
  mpz_xor(x, a, b);
  std::string s;
  int shown = 0;
  for (mp_bitcnt_t i = mpz_scan1(x, 0); i != ~mp_bitcnt_t{0} && shown < 12; i = mpz_scan1(x, i + 1), ++shown) {
    s += std::to_string(i) + (mpz_tstbit(a, i) ? "+ " : "- ");
  }
  return s;
}

std::vector<int> set_bits_below(mpz_srcptr mask, int limit) {
  std::vector<int> bits;
  for (int i = 0; i < limit; ++i) {
    if (mpz_tstbit(mask, static_cast<mp_bitcnt_t>(i))) bits.push_back(i);
  }
  return bits;
}

TEST(ClassTable, RowZeroLeavesItsSixteenOffsetsClear) {
  const std::vector<int> clear = {0, 3, 8, 11, 15, 20, 23, 24, 35, 36, 39, 44, 48, 51, 56, 59};
  std::vector<int> unmarked;
  const ClassPattern& pattern = class_pattern(0);
  for (int j = 0; j < 60; ++j) {
    bool marked = false;
    for (const auto m : pattern) marked = marked || m == j;
    if (!marked) unmarked.push_back(j);
  }
  EXPECT_EQ(unmarked, clear);
}

TEST(HeadMarks, WorkedStarts) {
  struct Case {
    std::uint64_t p, k_first;
    std::int32_t anchor;
    int row;
    int first_marked;  // pairs of marks from this bit on
  };
  const Case cases[] = {
      {11, 1, 59, 2, 1},  // 23, 45: t0 = 7, t1 = 5
      {61, 1, 59, 0, 0},  // 123, 245: t0 = 3, t1 = 5
  };
  for (const Case& c : cases) {
    CandidateWindow window;
    BigInt first, two_p(2 * c.p), mask;
    first_candidate(first, c.p, c.k_first);
    build_candidate_mask(window, mask, first, two_p, 1000);
    const std::int32_t anchor = find_anchor(window);
    EXPECT_EQ(anchor, c.anchor);
    EXPECT_EQ(class_row(static_cast<unsigned>(mpz_fdiv_ui(window.entries[60], 120))), c.row);
    std::vector<int> expect;  // pairs every four bits; bit 59 is the anchor, unmarked
    for (int r = c.first_marked; r < 59; r += 4) {
      expect.push_back(r);
      if (r + 1 < 59) expect.push_back(r + 1);
    }
    EXPECT_EQ(set_bits_below(mask, 60), expect) << c.p;
  }
}

TEST(CandidateMask, ResidueMarksFollowTheRulesBitByBit) {
  // p covers all 16 rows (p mod 60 = 1, 7, 11, ..., 59), p = 3 and 5 (no
  // row), and exponents of real runs; k_first covers all four residues mod 4
  // (hence every t0/t1 case), multiples of 60 and large k.
  const std::uint64_t exponents[] = {61, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41,
                                     43, 47, 109, 53, 59, 1277, 86249, 3, 5};
  const std::uint64_t firsts[] = {1, 2, 3, 4, 60, 119, 6683680417203ULL, 1000000000000000007ULL};
  const std::int32_t sizes[] = {0, 46, 61, 120, 121, 1000, 3001};
  std::set<int> rows_seen;
  CandidateWindow window;
  BigInt first, two_p, mask, expect;
  for (const auto p : exponents) {
    mpz_set_ui(two_p, 2 * p);
    for (const auto k : firsts) {
      first_candidate(first, p, k);
      for (const std::int32_t n : sizes) {
        build_candidate_mask(window, mask, first, two_p, n);
        model_mask(expect, p, k, n, {});
        ASSERT_EQ(mpz_cmp(mask, expect), 0)
            << "p=" << p << " k_first=" << k << " N=" << n << " bits " << differing_bits(mask, expect);
      }
    }
    rows_seen.insert(class_row(static_cast<unsigned>((2 * p + 1) % 120)));
  }
  EXPECT_EQ(rows_seen.size(), 17u);  // the 16 rows and "none"
}

TEST(CandidateMask, WindowHoldsTheFirst66000Candidates) {
  CandidateWindow window;
  BigInt first, two_p(2 * 86249), mask, expect;
  first_candidate(first, 86249, 6683680417203ULL);
  build_candidate_mask(window, mask, first, two_p, 5);
  ASSERT_EQ(window.entries.size(), 66000u);
  for (const std::uint64_t j : {0ULL, 1ULL, 4ULL, 5ULL, 65999ULL}) {
    first_candidate(expect, 86249, 6683680417203ULL + j);
    EXPECT_EQ(mpz_cmp(window.entries[j], expect), 0) << j;
  }
}

struct PrimeCase {
  std::uint64_t p, k_first;
  std::int32_t n;
};

TEST(SmallPrimes, MarksFollowTheRulesBitByBit) {
  // Primes of every kind: small ones, p itself (no multiple at all), the
  // largest below the window size and two above it.
  const std::vector<std::int32_t> sieving = {7,  11, 13, 17, 19, 23, 29, 31,   37,    41,
                                             43, 47, 53, 59, 61, 67, 1277, 65983, 66029, 69259};
  const SmallPrimeTable table = table_of(sieving);
  // k_first placing 66029's first multiple on the last window entry.
  const std::uint64_t q = 66029, p = 1277;
  const std::uint64_t inv = pow_mod(2 * p % q, q - 2, q);
  const std::uint64_t k_last = (2 * q - inv - 65999 % q) % q + 10 * q;
  const PrimeCase cases[] = {
      {1277, 1, 0},         {1277, 1, 3000},        {1277, 61, 140000},
      {11, 1, 46},          {11, 1, 2000},          {7, 60, 1000},
      {86249, 6683680417203ULL, 140000},            {1277, k_last, 140000},
      {1277, k_last, 65999 + 66029},                {1277, k_last, 65999 + 66029 + 1},
      {1277, k_last, 65999 + 66029 - 1},            {3, 5, 500},
  };
  CandidateWindow window;
  BigInt first, two_p, mask, expect;
  for (const PrimeCase& c : cases) {
    mpz_set_ui(two_p, 2 * c.p);
    first_candidate(first, c.p, c.k_first);
    build_candidate_mask(window, mask, first, two_p, c.n);
    mark_small_primes(table, table.count, window, mask, c.n);
    model_mask(expect, c.p, c.k_first, c.n, sieving);
    ASSERT_EQ(mpz_cmp(mask, expect), 0) << "p=" << c.p << " k_first=" << c.k_first << " N=" << c.n
                                        << " bits " << differing_bits(mask, expect);
  }
}

TEST(SmallPrimes, FirstMultipleWithinTheWindowOnly) {
  const std::uint64_t p = 1277, q = 66029;
  const std::uint64_t inv = pow_mod(2 * p % q, q - 2, q);
  const std::uint64_t k_last = (2 * q - inv - 65999 % q) % q + q;
  const SmallPrimeTable table = table_of({66029});
  const std::int32_t n = 65999 + 66029 + 1;
  CandidateWindow window;
  BigInt first, two_p(2 * p), mask;

  // First multiple on the last entry: j + q = N - 1 is marked, j is not.
  first_candidate(first, p, k_last);
  fill_window(window, first, two_p);
  EXPECT_EQ(first_multiple(window, 66029), 65999);
  EXPECT_EQ(first_multiple(window, 1277), -1);  // every candidate is 1 mod p
  mpz_ui_pow_ui(mask, 2, n);
  mark_small_primes(table, table.count, window, mask, n);
  EXPECT_EQ(set_bits_below(mask, n + 1), (std::vector<int>{n - 1, n}));

  // One k earlier it lies just past the window: the prime marks nothing,
  // though its multiples recur at 66000 + q, ...
  first_candidate(first, p, k_last - 1);
  fill_window(window, first, two_p);
  EXPECT_EQ(first_multiple(window, 66029), -1);
  mpz_ui_pow_ui(mask, 2, 200000);
  mark_small_primes(table, table.count, window, mask, 200000);
  EXPECT_EQ(set_bits_below(mask, 200001), (std::vector<int>{200000}));
}

TEST(SmallPrimes, ACountOfThreeOrLessSievesNothing) {
  SmallPrimeTable table;
  build_prime_table(table);
  CandidateWindow window;
  BigInt first, two_p(22), mask, before;
  first_candidate(first, 11, 1);
  build_candidate_mask(window, mask, first, two_p, 3000);
  mpz_set(before, mask);
  for (const std::int32_t count : {0, 3}) {
    mark_small_primes(table, count, window, mask, 3000);
    EXPECT_EQ(mpz_cmp(mask, before), 0) << count;
  }
  mark_small_primes(table, 4, window, mask, 3000);  // 7 alone
  EXPECT_NE(mpz_cmp(mask, before), 0);
}

TEST(SmallPrimes, WorkedSegmentOfP11) {
  // p = 11 from 2 to 10 bits: k = 1 .. 46, 1879 primes.
  SmallPrimeTable table;
  build_prime_table(table);
  ASSERT_EQ(sieve_prime_count_for(table, 10.0f), 1879);
  CandidateWindow window;
  BigInt first, two_p(22), mask;
  first_candidate(first, 11, 1);
  build_candidate_mask(window, mask, first, two_p, 46);
  mark_small_primes(table, 1879, window, mask, 46);
  std::vector<int> clear;
  for (int i = 0; i < 46; ++i) {
    if (!mpz_tstbit(mask, static_cast<mp_bitcnt_t>(i))) clear.push_back(i);
  }
  EXPECT_EQ(clear, (std::vector<int>{0, 3, 4, 7, 8, 11, 15, 16, 20, 27, 28, 31, 32, 36, 39, 44}));
  // Beyond the segment: bit N and the head marks 49 .. 58, none counted.
  for (int b : {46, 49, 50, 53, 54, 57, 58}) EXPECT_TRUE(mpz_tstbit(mask, b)) << b;
  EXPECT_EQ(count_marked(mask, 46), 30);
  char text[32];
  std::snprintf(text, sizeof text, "%3.3f", sieve_percentage(30, 46));
  EXPECT_STREQ(text, "65.217");
  EXPECT_EQ(sieve_percentage(0, 0), 0.0);
}

TEST(SmallPrimeTable, DepthLimitAndLargestPrimeUsed) {
  struct Row {
    float depth;
    std::int32_t limit, largest;
  };
  const Row rows[] = {{0.0f, 878, 6827},      {2.0f, 1079, 8669},    {57.0f, 6579, 65851},
                      {57.12f, 6590, 65983},  {57.13f, 6592, 66029}, {60.0f, 6879, 69259},
                      {60.3f, 6908, 69661},   {64.0f, 7279, 73709},  {70.0f, 7879, 80491},
                      {72.0f, 8079, 82633},   {75.0f, 8379, 86183}};
  SmallPrimeTable table;
  build_prime_table(table);
  for (const Row& r : rows) {
    const std::int32_t count = sieve_prime_count_for(table, r.depth);
    EXPECT_EQ(count, r.limit) << r.depth;
    EXPECT_EQ(table.primes[static_cast<std::size_t>(count - 1)], r.largest) << r.depth;
  }
}

TEST(SmallPrimeTable, PrimesUpToABound) {
  // The one sieve of Eratosthenes behind the table and the deeper sieve:
  // bounds at and beside primes and prime squares, where an off-by-one in
  // the bound or in the sieve's first multiple shows; every bound to 2000
  // against trial division; the table's and the deeper sieve's bounds.
  struct Row {
    std::uint32_t bound;
    std::size_t count;
    std::uint32_t last;  // 0: none
  };
  const Row rows[] = {{0, 0, 0},   {1, 0, 0},   {2, 1, 2},         {3, 2, 3},
                      {4, 2, 3},   {8, 4, 7},   {9, 4, 7},         {24, 9, 23},
                      {25, 9, 23}, {49, 15, 47}, {121, 30, 113},   {255999, 22525, 255989},
                      {1000000, 78498, 999983}};
  for (const Row& r : rows) {
    const std::vector<std::uint32_t> primes = primes_up_to(r.bound);
    EXPECT_EQ(primes.size(), r.count) << r.bound;
    EXPECT_EQ(primes.empty() ? 0u : primes.back(), r.last) << r.bound;
  }
  const auto is_prime = [](std::uint32_t n) {
    if (n < 2) return false;
    for (std::uint32_t d = 2; d * d <= n; ++d) {
      if (n % d == 0) return false;
    }
    return true;
  };
  const std::vector<std::uint32_t> primes = primes_up_to(2000);
  std::vector<std::uint32_t> want;
  for (std::uint32_t n = 0; n <= 2000; ++n) {
    if (is_prime(n)) want.push_back(n);
  }
  EXPECT_EQ(primes, want);
}

}  // namespace
