// The factor inspector and the benchmark, run as the user runs them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.h"

namespace {

const std::string kToolBanner = "\nTamrisk v.4.02 - October 29th, 2005 \n";
const std::string kInspectorPrompts =
    "Please enter the exponent to be tested: Please enter the k value to be tested: ";
const std::string kLead = "\r\t\t\t\t\t\t\t    ";

TEST(Inspector, FormsTheCandidateAndShowsItsDepth) {
  struct Case {
    std::string input;
    std::string k, p, d, depth;
  };
  const Case cases[] = {
      {"3321928097\n31000000\n", "31000000", "3321928097", "205959542014000001", "57.515 bit depth  "},
      {"100\n1\n", "1", "101", "203", "7.6653 bit depth  "},  // composite moves to the next prime
      {"1\n1\n", "1", "2", "5", "2.3219 bit depth  "},
      {"abc\n", "1", "2", "5", "2.3219 bit depth  "},  // unreadable: both stay 1
      {"", "1", "2", "5", "2.3219 bit depth  "},
      {"11\n0\n", "0", "11", "1", "0 bit depth  "},
      {"86243\n2\n", "2", "86243", "344973", "18.396 bit depth  "},  // no known-prime check
      {"2\n" + std::string("1") + std::string(302, '0') + "\n", "1" + std::string(302, '0'), "2",
       "4" + std::string(301, '0') + "1", "1005 bit depth   "},
  };
  for (const Case& c : cases) {
    Session s;
    const RunResult r = s.run({"-f"}, c.input);
    EXPECT_EQ(r.exit_status, 1) << c.input;
    EXPECT_EQ(r.out, kToolBanner + kInspectorPrompts + "\nFor k = " + c.k + " and exponent = " +
                         c.p + " --> d = 2kp+1 = " + c.d + "\n" + kLead + c.depth)
        << c.input;
    EXPECT_TRUE(std::filesystem::is_empty(s.dir.path()));
  }
}

TEST(Inspector, AnyLetterAfterFStartsIt) {
  for (const char* arg : {"-f", "-foo", "-f2"}) {
    Session s;
    const RunResult r = s.run({arg}, "7\n1\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("--> d = 2kp+1 = 15\n"), std::string::npos) << arg;
  }
}

TEST(Benchmark, TwentySizesInTheirLayout) {
  Session s;
  const RunResult r = s.run({"-bxyz"});
  EXPECT_EQ(r.exit_status, 1);
  std::string expect = kToolBanner + "Timing 100000 iterations at different bit length: ";
  const std::string shown = mask_after(r.out, " bits: ");
  for (int bits = 57; bits <= 76; ++bits) {
    expect += "\nDone 100000 iterations at " + std::to_string(bits) + " bits: # sec";
  }
  EXPECT_EQ(shown, expect);
  EXPECT_TRUE(std::filesystem::is_empty(s.dir.path()));
}

}  // namespace
