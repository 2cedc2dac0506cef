// SPDX-License-Identifier: MIT
// The bit-depth display and the record writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "records/bitdepth.h"
#include "records/results.h"
#include "records/status.h"
#include "support/run_program.h"

namespace {

const std::string kLead = "\r\t\t\t\t\t\t\t";

std::string display(const char* decimal) {
  BigInt d;
  mpz_set_str(d, decimal, 10);
  testing::internal::CaptureStdout();
  NF_writebits(d);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::string power_of_two(int e, int add) {
  BigInt v;
  mpz_ui_pow_ui(v, 2, static_cast<unsigned long>(e));
  if (add >= 0) mpz_add_ui(v, v, static_cast<unsigned long>(add));
  else mpz_sub_ui(v, v, static_cast<unsigned long>(-add));
  return to_decimal(v);
}

TEST(BitDepth, FractionalBelow2To1000AndWholeFromThereOn) {
  struct Case {
    std::string d;
    std::string text;
  };
  const Case cases[] = {
      {"1", "    0 bit depth  "},
      {"5", "    2.3219 bit depth  "},
      {"23", "    4.5236 bit depth  "},
      {"205959542014000001", "    57.515 bit depth  "},
      {"27670116110564327424", "    64.585 bit depth  "},
      {power_of_two(64, 0), "    64 bit depth  "},
      {power_of_two(1000, -1), "    1000 bit depth  "},
      {power_of_two(1000, 0), "    1000 bit depth   "},
      {power_of_two(1000, 1), "    1000 bit depth   "},
      {power_of_two(1001, 0), "    1001 bit depth   "},
      {power_of_two(4096, 12345), "    4096 bit depth   "},
      {std::string("-").append(power_of_two(1000, 0)), "    1000 bit depth   "},
  };
  for (const Case& c : cases) EXPECT_EQ(display(c.d.c_str()), kLead + c.text) << c.d;
}

TEST(BitDepth, NegativeBelowThresholdShowsTheLibrarysNotANumber) {
  const std::string text = display("-5");
  ASSERT_EQ(text.substr(0, kLead.size()), kLead);
  EXPECT_NE(text.find("nan"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 12), " bit depth  ");
}

// Runs f in a fresh working directory and returns to the old one after.
template <typename F>
void in_temp_dir(const TempDir& dir, F f) {
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  f();
  std::filesystem::current_path(old);
}

TEST(Results, RecordsAreAppendedLineByLine) {
  TempDir dir;
  BigInt p(11), d(23), big;
  mpz_set_str(big, power_of_two(1200, 1).c_str(), 10);
  in_temp_dir(dir, [&] {
    std::ofstream("results.txt") << "older line without end";
    EXPECT_TRUE(writeresults(p, d));
    EXPECT_TRUE(writeresults(p, big));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(writeendfactor(p, 2.0f, 64.5f));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nM11 no factor from 2.000 bits to 64.500 bits.\n");
  });
  std::string expect = "older line without endM11 has a factor: 23\nM11 has a factor: ";
  expect.append(power_of_two(1200, 1)).append("\nM11 no factor from 2.000 bits to 64.500 bits.\n");
  EXPECT_EQ(slurp(dir.path() / "results.txt"), expect);
}

TEST(Results, AnUnwritableFileIsReportedNotWrittenThrough) {
  TempDir dir;
  BigInt p(11), d(23);
  struct Case {
    const char* setup;
    const char* reason;
  };
  for (const Case c : {Case{"directory", "Is a directory"}, Case{"full", "No space left on device"}}) {
    TempDir inner;
    if (std::string(c.setup) == "directory") {
      std::filesystem::create_directory(inner.path() / "results.txt");
    } else {
      std::filesystem::create_symlink("/dev/full", inner.path() / "results.txt");
    }
    in_temp_dir(inner, [&] {
      testing::internal::CaptureStderr();
      EXPECT_FALSE(writeresults(p, d));
      EXPECT_EQ(testing::internal::GetCapturedStderr().find("results.txt: cannot "), 0u);
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      EXPECT_FALSE(writeendfactor(p, 2.0f, 3.0f));
      const std::string err = testing::internal::GetCapturedStderr();
      // The console echo still shows the record.
      EXPECT_EQ(testing::internal::GetCapturedStdout(),
                "\nM11 no factor from 2.000 bits to 3.000 bits.\n");
      EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    });
  }
}

TEST(Status, TextHoldsSixLines) {
  BigInt p(86249), k(6683680417203), lo, hi;
  mpz_set_str(lo, "1152921504606846975", 10);
  mpz_set_str(hi, "2305843009213693952", 10);
  EXPECT_EQ(status_text(p, k, lo, hi, 60.1f, 64.5f),
            "86249\n6683680417203\n1152921504606846975\n2305843009213693952\n60.100\n64.500\n");
  BigInt neg;
  mpz_set_si(neg, -5);
  EXPECT_EQ(status_text(p, k, neg, hi, 2.0f, 1.0f).substr(20), "-5\n2305843009213693952\n2.000\n1.000\n");
}

}  // namespace
