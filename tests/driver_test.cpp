// SPDX-License-Identifier: MIT
// Mode selection, the bit-depth plan and the depth limit of the prime table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "driver/modes.h"
#include "driver/new_run.h"
#include "driver/plan.h"
#include "driver/threads.h"
#include "gpu/device_request.h"
#include "sieve/prime_table.h"

namespace {

std::string dec(mpz_srcptr v) { return to_decimal(v); }

Mode mode_of(const std::vector<const char*>& args) {
  std::vector<const char*> argv{"tamrisk"};
  argv.insert(argv.end(), args.begin(), args.end());
  return parse_mode(static_cast<int>(argv.size()), argv.data());
}

TEST(Modes, OnlyTheSecondCharacterOfOneDashArgumentCounts) {
  struct Case {
    std::vector<const char*> args;
    Mode mode;
  };
  const Case cases[] = {
      {{}, Mode::NewRun},
      {{"-f"}, Mode::Inspector},     {{"-fast"}, Mode::Inspector}, {{"-f2"}, Mode::Inspector},
      {{"-b"}, Mode::Benchmark},     {{"-bxyz"}, Mode::Benchmark},
      {{"-r"}, Mode::Resume},        {{"-resume"}, Mode::Resume},
      {{"-h"}, Mode::Usage},         {{"-"}, Mode::Usage},         {{"-q"}, Mode::Usage},
      {{"-x"}, Mode::Usage},         {{"-R"}, Mode::Usage},        {{"-F"}, Mode::Usage},
      {{"f"}, Mode::Usage},          {{"r"}, Mode::Usage},         {{""}, Mode::Usage},
      {{"-r", "-r"}, Mode::Usage},   {{"-f", "x"}, Mode::Usage},   {{"a", "b", "c"}, Mode::Usage},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const char* a : c.args) shown += std::string("'") + a + "' ";
    EXPECT_EQ(mode_of(c.args), c.mode) << shown;
  }
}

TEST(Threads, OnlyAWholeNumberFromOneTo1024IsAThreadCount) {
  const std::pair<const char*, std::optional<int>> cases[] = {
      {"1", 1},      {"2", 2},       {"7", 7},       {"1024", 1024}, {"0007", 7},
      {"", {}},      {"0", {}},      {"-1", {}},     {"+2", {}},     {"1025", {}},
      {"2x", {}},    {"1e3", {}},    {" 2", {}},     {"2 ", {}},     {"0x10", {}},
      {"00001", {}}, {"99999999999999999999", {}},   {"2.0", {}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(parse_thread_count(text), want) << text;
  EXPECT_GE(usable_cpus(), 1);
}

TEST(Device, OnlyCpuOpenClOrAnIndexedOpenClDeviceIsARequest) {
  using Kind = DeviceRequest::Kind;
  const std::pair<const char*, std::optional<DeviceRequest>> cases[] = {
      {"cpu", DeviceRequest{Kind::Cpu}},
      {"opencl", DeviceRequest{Kind::FirstOpenCl}},
      {"opencl:0:0", DeviceRequest{Kind::Indexed, 0, 0}},
      {"opencl:1:12", DeviceRequest{Kind::Indexed, 1, 12}},
      {"opencl:007:3", DeviceRequest{Kind::Indexed, 7, 3}},
      {"opencl:999999:999999", DeviceRequest{Kind::Indexed, 999999, 999999}},
      {"", {}},           {"CPU", {}},          {"OpenCL", {}},        {"gpu", {}},
      {"cuda", {}},       {"cpu ", {}},         {" opencl", {}},       {"opencl:", {}},
      {"opencl:0", {}},   {"opencl:0:", {}},    {"opencl::0", {}},     {"opencl:0:0:0", {}},
      {"opencl:-1:0", {}}, {"opencl:+1:0", {}}, {"opencl:0:x", {}},    {"opencl:0x1:0", {}},
      {"opencl:1000000:0", {}}, {"opencl:0: 1", {}}, {"opencl0:0", {}},
      {"opencl:0:99999999999999999999", {}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(parse_device_request(text), want) << text;
}

TEST(KnownExponents, ExactlyTheTableEntriesMatch) {
  BigInt p;
  for (long e : {2L, 3L, 5L, 7L, 13L, 127L, 1279L, 86243L, 25964951L}) {
    mpz_set_si(p, e);
    EXPECT_EQ(MersennePrime(p), 1) << e;
  }
  for (long e : {0L, 1L, 11L, 1277L, 1283L, 86249L, 25964957L, 30402457L, -7L}) {
    mpz_set_si(p, e);
    EXPECT_EQ(MersennePrime(p), 0) << e;
  }
}

// Every row and column of the worked table of the plan.
struct PlanRow {
  unsigned long p;
  float start, end;
  const char *d_low, *d_high, *k_first, *k_range, *full_segments;
  std::int32_t last_segment_size;
  const char* d;
};

TEST(Plan, WorkedTable) {
  const PlanRow rows[] = {
      {86249, 60.0f, 61.0f, "1152921504606846975", "2305843009213693952", "6683680417203",
       "6683680417204", "6527", 32417204, "1152921504606683095"},
      {86249, 64.5f, 65.25f, "27670116110564327423", "46116860184273879040", "160408330012894",
       "106938886675264", "104432", 518675264, "27670116110564189213"},
      {86249, 60.1f, 60.1f, "1268211891097629624", "1268211902626844671", "7352038232893",
       "66837", "0", 66837, "1268211891097576715"},
      {86249, 60.0f, 60.0f, "1152921504606846975", "1152921504606846976", "6683680417203", "0",
       "0", 0, "1152921504606683095"},
      {86249, 60.0f, 56.0f, "1152921504606846975", "72057594037927936", "6683680417203",
       "-6265950391128", "-6120", 929608872, "1152921504606683095"},
      {1277, 2.0f, 40.0f, "3", "1099511627776", "1", "430505727", "0", 430505727, "2555"},
      {80000023, 2.0f, 3.0f, "3", "8", "1", "0", "0", 0, "160000047"},
  };
  for (const PlanRow& row : rows) {
    RunState s;
    mpz_set_ui(s.exponent, row.p);
    s.start_bits = row.start;
    s.end_bits = row.end;
    set_bounds(s);
    // The range is counted from k_first before plan_segments moves a 0 to 1.
    BigInt k_high;
    mpz_sub_ui(k_high, s.d_high, 1);
    mpz_fdiv_q_ui(k_high, k_high, 2);
    mpz_fdiv_q_ui(k_high, k_high, row.p);
    BigInt k_range;
    mpz_sub(k_range, k_high, s.k_first);
    plan_segments(s);
    const std::string where = "p=" + std::to_string(row.p) + " " + std::to_string(row.start) +
                              ".." + std::to_string(row.end);
    EXPECT_EQ(dec(s.d_low), row.d_low) << where;
    EXPECT_EQ(dec(s.d_high), row.d_high) << where;
    EXPECT_EQ(dec(s.k_first), row.k_first) << where;
    EXPECT_EQ(dec(k_range), row.k_range) << where;
    EXPECT_EQ(dec(s.full_segments), row.full_segments) << where;
    EXPECT_EQ(s.last_segment_size, row.last_segment_size) << where;
    EXPECT_EQ(dec(s.d), row.d) << where;
    // The plan covers the range: full segments plus the final one.
    BigInt covered;
    mpz_mul_ui(covered, s.full_segments, kSegmentK);
    mpz_add_ui(covered, covered, static_cast<unsigned long>(s.last_segment_size));
    EXPECT_EQ(mpz_cmp(covered, k_range), 0) << where;
  }
}

TEST(Plan, BoundsAgreeWithTheDefinitionOfADepth) {
  // Depth i + f stands for 2^i * (1 + f): compare against an independent
  // evaluation in exact rationals for many depths.
  for (float depth = 2.0f; depth < 140.0f; depth += 0.37f) {
    RunState s;
    mpz_set_ui(s.exponent, 1000003);
    s.start_bits = depth;
    s.end_bits = depth;
    set_bounds(s);
    const int i = static_cast<int>(depth);
    mpq_t frac;
    mpq_init(frac);
    mpq_set_d(frac, static_cast<double>(depth) - i);
    BigInt scaled;  // fraction * 1e8, rounded down (start) and up (end)
    mpz_mul_ui(mpq_numref(frac), mpq_numref(frac), 100000000);
    mpz_fdiv_q(scaled, mpq_numref(frac), mpq_denref(frac));
    BigInt expect_low;
    mpz_ui_pow_ui(expect_low, 2, static_cast<unsigned long>(i));
    mpz_mul(expect_low, expect_low, scaled);
    mpz_fdiv_q_ui(expect_low, expect_low, 100000000);
    BigInt power;
    mpz_ui_pow_ui(power, 2, static_cast<unsigned long>(i));
    mpz_add(expect_low, expect_low, power);
    mpz_sub_ui(expect_low, expect_low, 1);
    EXPECT_EQ(mpz_cmp(s.d_low, expect_low), 0) << depth;
    mpz_cdiv_q(scaled, mpq_numref(frac), mpq_denref(frac));
    BigInt expect_high;
    mpz_mul(expect_high, power, scaled);
    mpz_fdiv_q_ui(expect_high, expect_high, 100000000);
    mpz_add(expect_high, expect_high, power);
    EXPECT_EQ(mpz_cmp(s.d_high, expect_high), 0) << depth;
    mpq_clear(frac);
  }
}

TEST(Plan, SegmentLengthSplitsTheRange) {
  // A range of 46 k values in segments of 7: six full segments and 4 left.
  RunState s;
  mpz_set_ui(s.exponent, 11);
  s.start_bits = 2.0f;
  s.end_bits = 10.0f;
  set_bounds(s);
  plan_segments(s, 7);
  EXPECT_EQ(mpz_get_si(s.full_segments), 6);
  EXPECT_EQ(s.last_segment_size, 4);
  EXPECT_EQ(mpz_get_si(s.k_first), 1);
  EXPECT_EQ(mpz_get_si(s.d), 23);
  // Exactly 46 values in segments of 23: two full segments, a final one of 0.
  RunState t;
  mpz_set_ui(t.exponent, 11);
  t.start_bits = 2.0f;
  t.end_bits = 10.0f;
  set_bounds(t);
  plan_segments(t, 23);
  EXPECT_EQ(mpz_get_si(t.full_segments), 2);
  EXPECT_EQ(t.last_segment_size, 0);
}

TEST(Plan, ResumedZeroKStartsAtOne) {
  RunState s;
  mpz_set_ui(s.exponent, 11);
  mpz_set_ui(s.k_first, 0);
  mpz_set_ui(s.d_low, 3);
  mpz_set_ui(s.d_high, 1024);
  plan_segments(s);
  EXPECT_EQ(mpz_get_si(s.k_first), 1);
  EXPECT_EQ(s.last_segment_size, 46);
}

TEST(DepthLimit, WorkedTable) {
  struct Row {
    float depth;
    std::int32_t limit;
  };
  const Row rows[] = {{0.0f, 878},   {1.0f, 978},   {2.0f, 1079},  {57.0f, 6579},
                      {57.12f, 6590}, {57.13f, 6592}, {60.0f, 6879}, {60.3f, 6908},
                      {64.0f, 7279},  {70.0f, 7879},  {72.0f, 8079}, {75.0f, 8379}};
  for (const Row& r : rows) EXPECT_EQ(depth_limit(r.depth), r.limit) << r.depth;
  SmallPrimeTable table;
  build_prime_table(table);
  EXPECT_EQ(sieve_prime_count_for(table, 60.0f), 6879);
  EXPECT_EQ(table.primes[6879 - 1], 69259);
  EXPECT_EQ(sieve_prime_count_for(table, 300.0f), 22525);
}

TEST(DepthLimit, MatchesExtendedPrecisionEvaluation) {
  // Where long double has a 64-bit significand, the rule's own evaluation
  // is a second route to the same figure.
  if (std::numeric_limits<long double>::digits != 64) GTEST_SKIP();
  for (float e = 0.0f; e < 300.0f; e = std::nextafter(e + 0.0137f, 1000.0f)) {
    const long double x = (static_cast<long double>(8.79) + static_cast<long double>(e)) *
                          100000000.0L / 1000000.0L;
    const auto expect = static_cast<std::int32_t>(std::trunc(static_cast<double>(x)));
    ASSERT_EQ(depth_limit(e), expect) << e;
  }
  // Whole depths: 100e + 879 (plain double arithmetic would give one less).
  for (int e = 2; e <= 216; ++e) EXPECT_EQ(depth_limit(static_cast<float>(e)), 100 * e + 879);
}

TEST(PrimeTable, HoldsThePrimesBelow256000) {
  SmallPrimeTable table;
  build_prime_table(table);
  ASSERT_EQ(table.count, 22525);
  const std::int32_t head[] = {2, 3, 5, 7, 11, 13};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(table.primes[i], head[i]);
  EXPECT_EQ(table.primes[table.count - 2], 255977);
  EXPECT_EQ(table.primes[table.count - 1], 255989);
  EXPECT_EQ(table.primes[6592 - 1], 66029);
  // Each entry is prime (GMP's test) and the list has no gap: every prime
  // between neighbours would be found by nextprime.
  BigInt q;
  for (int i = 0; i + 1 < table.count; ++i) {
    mpz_set_si(q, table.primes[i]);
    mpz_nextprime(q, q);
    ASSERT_EQ(mpz_get_si(q), table.primes[i + 1]) << i;
  }
}

}  // namespace
