// SPDX-License-Identifier: MIT
// The factor search: the walk over a segment, the segment loop, and the
// divisors found, checked against a plain loop over every k with no sieve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/big_int.h"
#include "core/run_state.h"
#include "search/backends.h"
#include "search/reference_walk.h"
#include "search/segment_loop.h"
#include "sieve/prime_table.h"
#include "support/prime_table.h"
#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

// Runs the test body in a fresh working directory, where the search writes
// results.txt and status.txt.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    fs::current_path(dir_.path());
  }
  void TearDown() override { fs::current_path(home_); }
  std::string file(const char* name) const { return slurp(dir_.path() / name); }
  bool exists(const char* name) const { return fs::exists(dir_.path() / name); }

 private:
  TempDir dir_;
  fs::path home_;
};

// The segment loop over the run on the path's backend.
void run_path(RunState& s, std::int32_t length, const SegmentObserver& after_segment,
              SearchPath path) {
  const std::unique_ptr<SegmentBackend> backend =
      make_backend(s, built_prime_table(), BackendChoice{path});
  run_segments(s, *backend, length, after_segment);
}

// A run over `count` values of k from k_first (count may be negative), cut
// into segments of `length`, as the plan would leave it.
void plan_run(RunState& s, unsigned long p, const std::string& k_first, long count,
              std::int32_t length, std::int32_t prime_count) {
  mpz_set_ui(s.exponent, p);
  mpz_mul_ui(s.two_p, s.exponent, 2);
  mpz_set_str(s.k_first, k_first.c_str(), 10);
  mpz_mul(s.d, s.k_first, s.two_p);
  mpz_add_ui(s.d, s.d, 1);
  mpz_set_ui(s.d_low, 5);
  mpz_set_ui(s.d_high, 7);
  s.start_bits = 3.5f;
  s.end_bits = 4.25f;
  const long full = count >= 0 ? count / length : -((-count + length - 1) / length);
  mpz_set_si(s.full_segments, full);
  s.last_segment_size = static_cast<std::int32_t>(count - full * length);
  s.sieve_prime_count = prime_count;
}

// Every prime divisor 2kp + 1 of M(p) for k in [k_first, k_first + count),
// by one exponentiation per k and no sieve.
std::vector<std::string> prime_divisors(unsigned long p, const std::string& k_first, long count) {
  std::vector<std::string> found;
  BigInt k, d, r, two(2), exponent(p);
  mpz_set_str(k, k_first.c_str(), 10);
  for (long i = 0; i < count; ++i, mpz_add_ui(k, k, 1)) {
    mpz_mul_ui(d, k, 2 * p);
    mpz_add_ui(d, d, 1);
    mpz_powm(r, two, exponent, d);
    if (mpz_cmp_ui(r, 1) == 0 && mpz_probab_prime_p(d, 30) != 0) found.push_back(to_decimal(d));
  }
  return found;
}

// The divisors named in results.txt, in order.
std::vector<std::string> recorded(const std::string& results, unsigned long p) {
  std::vector<std::string> out;
  std::istringstream in(results);
  const std::string head = "M" + std::to_string(p) + " has a factor: ";
  for (std::string line; std::getline(in, line);) {
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    out.push_back(line.substr(head.size()));
  }
  return out;
}

bool divides_mersenne_plainly(unsigned long p, const std::string& d_text) {
  BigInt m, d;
  mpz_set_ui(m, 1);
  mpz_mul_2exp(m, m, p);
  mpz_sub_ui(m, m, 1);
  mpz_set_str(d, d_text.c_str(), 10);
  return mpz_divisible_p(m, d) != 0;
}

std::vector<std::string> primes_only(const std::vector<std::string>& ds) {
  std::vector<std::string> out;
  BigInt d;
  for (const auto& t : ds) {
    mpz_set_str(d, t.c_str(), 10);
    if (mpz_probab_prime_p(d, 30) != 0) out.push_back(t);
  }
  return out;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The k of every progress line, in order.
std::vector<std::string> progress_ks(const std::string& out) {
  std::vector<std::string> ks;
  for (auto at = out.find("\nk="); at != std::string::npos; at = out.find("\nk=", at + 1)) {
    ks.push_back(out.substr(at + 3, out.find(',', at) - at - 3));
  }
  return ks;
}

TEST(Chunks, ProgressLinesPerSegment) {
  struct Case {
    std::int32_t n, lines;
  };
  const Case cases[] = {{0, 0},   {1, 1},   {7, 7},   {19, 19}, {20, 20},
                        {39, 39}, {40, 20}, {41, 21}, {46, 23}, {59, 30},
                        {1023999999, 21},   {1024000000, 20}};
  for (const Case& c : cases) {
    const std::int32_t chunk = chunk_length(c.n);
    std::int32_t j = 0, lines = 0;
    while (j < c.n) {
      const std::int32_t end = chunk_end(j, chunk, c.n);
      ASSERT_GT(end, j) << c.n;
      ASSERT_LE(end, c.n + 1) << c.n;  // offset N at most is visited
      ASSERT_LE(end - j, chunk) << c.n;
      j = end;
      ++lines;
    }
    EXPECT_EQ(lines, c.lines) << c.n;
  }
}

class Walk : public InTempDir {};

TEST_F(Walk, TestsExactlyTheClearOffsetsAndShowsTheLastTested) {
  // p = 29 over k = 1 .. 200: every clear offset whose d divides M(29) is
  // reported, in order; each progress line shows the last clear offset up
  // to its chunk's end (or the initial k = 1 before any test).
  const unsigned long p = 29;
  const std::int32_t n = 200;
  struct MaskCase {
    const char* name;
    bool (*set)(int);
  };
  const MaskCase masks[] = {
      {"all clear", [](int) { return false; }},
      {"every third", [](int i) { return i % 3 != 1; }},
      {"first 30 marked", [](int i) { return i < 30 || i % 7 == 0; }},
      {"all marked", [](int) { return true; }},
  };
  for (const MaskCase& m : masks) {
    std::remove("results.txt");
    RunState s;
    plan_run(s, p, "1", n, n + 1, 0);
    s.segment_size = n;
    BigInt mask;
    mpz_setbit(mask, n);
    std::vector<std::string> expect_factors;
    std::vector<std::string> expect_ks;
    std::string last_k = "1";
    const std::int32_t chunk = n / 20;
    for (int i = 0; i < n; ++i) {
      if (m.set(i)) {
        mpz_setbit(mask, static_cast<mp_bitcnt_t>(i));
      } else {
        last_k = std::to_string(1 + i);
        const std::string d = std::to_string(2 * p * (1 + i) + 1);
        if (divides_mersenne_plainly(p, d)) expect_factors.push_back(d);
      }
      if ((i + 1) % chunk == 0) expect_ks.push_back(last_k);
    }
    testing::internal::CaptureStdout();
    test_segment(s, mask);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(progress_ks(out), expect_ks) << m.name;
    EXPECT_EQ(recorded(file("results.txt"), p), expect_factors) << m.name;
    EXPECT_EQ(count_of(out, "has a factor: "), expect_factors.size()) << m.name;
    EXPECT_EQ(s.factor_found, expect_factors.empty() ? 0 : 1) << m.name;
    EXPECT_EQ(to_decimal(s.k), last_k) << m.name;
    // d stays the candidate of k (before any test, the run's first).
    EXPECT_EQ(to_decimal(s.d), std::to_string(2 * p * std::stoul(last_k) + 1)) << m.name;
  }
}

struct KnownCase {
  unsigned long p;
  std::string k_first;
  long count;
  std::vector<std::string> known;  // divisors the range must yield
};

// The segment loop on either path: the literal reference and the fast path
// must both pass.
class OnPath : public InTempDir, public ::testing::WithParamInterface<SearchPath> {};

std::string path_name(const ::testing::TestParamInfo<SearchPath>& info) {
  return info.param == SearchPath::Reference ? "Reference" : "Fast";
}

class Completeness : public OnPath {};
INSTANTIATE_TEST_SUITE_P(Paths, Completeness,
                         ::testing::Values(SearchPath::Reference, SearchPath::Fast), path_name);

TEST_P(Completeness, EveryPrimeDivisorInTheRangeIsReported) {
  const KnownCase cases[] = {
      {11, "1", 1000, {"23", "89"}},
      {37, "1", 1500, {"223"}},
      {37, "8327900", 1500, {"616318177"}},
      {67, "1444800", 1500, {"193707721"}},
      {67, "5685359400", 1500, {"761838257287"}},
      {71, "1", 2000, {"228479"}},
      {71, "341100", 1500, {"48544121"}},
      {71, "1498500", 1500, {"212885833"}},
      {97, "1", 1000, {"11447"}},
      {1277, "1", 2000, {}},       // 1277 is itself among the sieving primes
      {43, "1", 3000, {"431"}},
  };
  for (const KnownCase& c : cases) {
    std::remove("results.txt");
    // The sieve depth of a run ending just above the range.
    BigInt d_end;
    mpz_set_str(d_end, c.k_first.c_str(), 10);
    mpz_add_ui(d_end, d_end, static_cast<unsigned long>(c.count));
    mpz_mul_ui(d_end, d_end, 2 * c.p);
    const float end_bits = static_cast<float>(mpz_sizeinbase(d_end, 2));
    RunState s;
    plan_run(s, c.p, c.k_first, c.count, kSegmentK,
             sieve_prime_count_for(built_prime_table(), end_bits));
    testing::internal::CaptureStdout();
    run_path(s, kSegmentK, {}, GetParam());
    testing::internal::GetCapturedStdout();

    const auto reported = recorded(file("results.txt"), c.p);
    const auto truth = prime_divisors(c.p, c.k_first, c.count);
    EXPECT_EQ(primes_only(reported), truth) << "p=" << c.p << " from k=" << c.k_first;
    for (const auto& d : c.known) {
      EXPECT_NE(std::find(truth.begin(), truth.end(), d), truth.end()) << d;
    }
    for (const auto& d : reported) EXPECT_TRUE(divides_mersenne_plainly(c.p, d)) << d;
    EXPECT_EQ(std::set<std::string>(reported.begin(), reported.end()).size(), reported.size());
  }
}

class Segments : public OnPath {};
INSTANTIATE_TEST_SUITE_P(Paths, Segments,
                         ::testing::Values(SearchPath::Reference, SearchPath::Fast), path_name);

TEST_P(Segments, EveryKCoveredOnceWhateverTheSegmentLength) {
  // p = 71 over k = 1300 .. 1699 (228479 at k = 1609) and p = 23 over
  // k = 3700 .. 4099 (178481 at k = 3880): segments tile the range, each checkpoint holds the first
  // k not yet covered, and the divisors do not depend on the split.
  struct Range {
    unsigned long p;
    long k_first, count;
  };
  for (const Range& r : {Range{71, 1300, 400}, Range{23, 3700, 400}}) {
    std::vector<std::string> per_length;
    const auto truth = prime_divisors(r.p, std::to_string(r.k_first), r.count);
    for (const std::int32_t length : {7, 46, 1000}) {
      std::remove("results.txt");
      RunState s;
      plan_run(s, r.p, std::to_string(r.k_first), r.count, length, 100);
      long covered_to = r.k_first;
      int segments = 0;
      testing::internal::CaptureStdout();
      const auto after_segment = [&](const RunState& st) {
        const long next = mpz_get_si(st.k_first);
        EXPECT_EQ(next - st.segment_size, covered_to);  // starts where the last ended
        covered_to = next;
        ++segments;
        EXPECT_EQ(file("status.txt"), std::to_string(r.p) + "\n" + std::to_string(next) +
                                          "\n5\n7\n3.500\n4.250\n");
      };
      run_path(s, length, after_segment, GetParam());
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(covered_to, r.k_first + r.count) << length;
      EXPECT_EQ(segments, r.count / length + 1) << length;
      EXPECT_EQ(count_of(out, "Reinitializing sieve"), static_cast<std::size_t>(segments));
      const auto reported = recorded(file("results.txt"), r.p);
      EXPECT_EQ(primes_only(reported), truth) << "p=" << r.p << " length " << length;
      EXPECT_EQ(std::set<std::string>(reported.begin(), reported.end()).size(), reported.size());
      // k and d name the last candidate tested, as the last progress line shows.
      const auto ks = progress_ks(out);
      ASSERT_FALSE(ks.empty());
      EXPECT_EQ(to_decimal(s.k), ks.back());
      EXPECT_LT(mpz_get_si(s.k), r.k_first + r.count);
      EXPECT_EQ(mpz_get_si(s.d), 2 * static_cast<long>(r.p) * mpz_get_si(s.k) + 1);
    }
  }
}

TEST_P(Segments, ExactMultipleEndsWithAnEmptyFinalSegment) {
  RunState s;
  plan_run(s, 11, "1", 92, 46, 50);
  std::vector<std::string> checkpoints;
  testing::internal::CaptureStdout();
  run_path(
      s, 46, [&](const RunState&) { checkpoints.push_back(file("status.txt")); },
      GetParam());
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(checkpoints.size(), 3u);
  EXPECT_NE(checkpoints[0], checkpoints[1]);
  EXPECT_EQ(checkpoints[1], checkpoints[2]);
  EXPECT_EQ(to_decimal(s.k_first), "93");
  EXPECT_EQ(progress_ks(out).size(), 46u);  // 23 + 23 + none
  EXPECT_TRUE(mask_times(out).ends_with(
      " bit depth  \nReinitializing sieve\n\nSieve time   : # secs. sieve percentage : 0.000\n"));
}

TEST_P(Segments, EmptyRangeRunsOneSegmentOfNothing) {
  RunState s;
  plan_run(s, 86249, "6683680417203", 0, kSegmentK, 200);
  testing::internal::CaptureStdout();
  run_path(s, kSegmentK, {}, GetParam());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(mask_times(out),
            "\nReinitializing sieve\n\nSieve time   : # secs. sieve percentage : 0.000\n");
  EXPECT_EQ(file("status.txt"), "86249\n6683680417203\n5\n7\n3.500\n4.250\n");
  EXPECT_EQ(to_decimal(s.k), "1");
  EXPECT_EQ(s.factor_found, 0);
  EXPECT_FALSE(exists("results.txt"));
}

TEST_P(Segments, NegativePlanRunsNoSegment) {
  RunState s;
  plan_run(s, 11, "40", -5, 46, 50);
  ASSERT_EQ(mpz_get_si(s.full_segments), -1);
  testing::internal::CaptureStdout();
  run_path(s, 46, {}, GetParam());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(exists("status.txt"));
  EXPECT_EQ(to_decimal(s.k_first), "40");
}

TEST_P(Segments, ProgressBeforeAnyTestShowsTheRunsFirstCandidate) {
  // k_first = 2: 45 and 67 are 5 and 3 mod 8, so the first chunk (one
  // offset in a segment of 19) tests nothing.
  RunState s;
  plan_run(s, 11, "2", 19, 46, 50);
  testing::internal::CaptureStdout();
  run_path(s, 46, {}, GetParam());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\n\nk=1, d=45\r"), std::string::npos);
  EXPECT_EQ(progress_ks(out).size(), 19u);
}

TEST_P(Segments, UnwritableCheckpointIsFlaggedAndTheRunGoesOn) {
  fs::create_directory("status.txt");  // cannot be replaced by a file
  RunState s;
  plan_run(s, 11, "1", 100, 46, 50);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int segments = 0;
  run_path(s, 46, [&](const RunState&) { ++segments; }, GetParam());
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(segments, 3);
  EXPECT_TRUE(s.record_failed);
  EXPECT_EQ(primes_only(recorded(file("results.txt"), 11)), (std::vector<std::string>{"23", "89"}));
}

TEST(EndToEnd, WorkedRunOfP11From2To10Bits) {
  Session session;
  const RunResult r = session.run({}, "11\n2\n10\n");
  auto depth = [](const std::string& figure) {
    return "\r\t\t\t\t\t\t\t    " + figure + " bit depth  ";
  };
  // The last candidate tested at the end of each chunk of 2 offsets; the
  // clear offsets are 0, 3, 4, 7, 8, 11, 15, 16, 20, 27, 28, 31, 32, 36, 39, 44.
  struct Line {
    const char* k;
    const char* d;
    const char* depth;
  };
  const Line lines[] = {
      {"1", "23", "4.5236"},   {"4", "89", "6.4757"},   {"5", "111", "6.7944"},
      {"8", "177", "7.4676"},  {"9", "199", "7.6366"},  {"12", "265", "8.0498"},
      {"12", "265", "8.0498"}, {"16", "353", "8.4635"}, {"17", "375", "8.5507"},
      {"17", "375", "8.5507"}, {"21", "463", "8.8549"}, {"21", "463", "8.8549"},
      {"21", "463", "8.8549"}, {"28", "617", "9.2691"}, {"29", "639", "9.3197"},
      {"32", "705", "9.4615"}, {"33", "727", "9.5058"}, {"33", "727", "9.5058"},
      {"37", "815", "9.6707"}, {"40", "881", "9.783"},  {"40", "881", "9.783"},
      {"40", "881", "9.783"},  {"45", "991", "9.9527"},
  };
  std::string expect =
      "\nTamrisk v. 4.02 - October 29th, 2005\n"
      "(trial factoring of Mersenne numbers 2^p-1 by a sieve over d = 2kp+1)\n"
      "Please enter the exponent to be factored: 2^"
      "Now enter start bit depth  : "
      "Finally enter end bit depth : "
      "\nSieving factors from 2.000 bits up to 10.000 bits...\n"
      "\nReinitializing sieve\n"
      "\nSieve time   : # secs. sieve percentage : 65.217\n";
  for (std::size_t i = 0; i < std::size(lines); ++i) {
    if (i == 0) expect += "\rM11 has a factor: 23" + depth("4.5236") + "\n";
    if (i == 1) expect += "\rM11 has a factor: 89" + depth("6.4757") + "\n";
    expect += std::string("\nk=") + lines[i].k + ", d=" + lines[i].d + depth(lines[i].depth);
  }
  expect += "\nTotal time   : # secs.\n";
  EXPECT_EQ(mask_times(r.out), expect);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(session.file("results.txt"), "M11 has a factor: 23\nM11 has a factor: 89\n");
  EXPECT_EQ(session.file("status.txt"), "11\n47\n3\n1024\n2.000\n10.000\n");
}

}  // namespace
