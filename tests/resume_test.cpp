// Resuming from status.txt: what an unusable checkpoint does.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.h"

namespace {

const std::string kResumeBanner =
    "Tamrisk v. 4.02 - October 29th, 2005\n"
    "(trial factoring of Mersenne numbers 2^p-1 by a sieve over d = 2kp+1)";

const std::string kGood = "11\n1\n3\n1024\n2.000\n10.000\n";

TEST(Resume, UnusableCheckpointIsRefusedAndNothingIsWritten) {
  struct Case {
    const char* name;
    std::string content;  // written as status.txt unless empty
    std::string err;
  };
  const Case cases[] = {
      {"missing", "", "status.txt: cannot open: No such file or directory\n"},
      {"empty", "\n", "status.txt: holds 0 values; a checkpoint has six (exponent, k, two bounds, two depths)\n"},
      {"five values", "11\n1\n3\n1024\n2.000\n",
       "status.txt: holds 5 values; a checkpoint has six (exponent, k, two bounds, two depths)\n"},
      {"letters for k", "11\nabc\n3\n1024\n2.000\n10.000\n", "status.txt: the k is not a whole number: 'abc'\n"},
      {"fraction for p", "11.5\n1\n3\n1024\n2.000\n10.000\n",
       "status.txt: the exponent is not a whole number: '11.5'\n"},
      {"digits then junk", "11\n1\n3x\n1024\n2.000\n10.000\n",
       "status.txt: the lower bound is not a whole number: '3x'\n"},
      {"bad depth", "11\n1\n3\n1024\ntwo\n10.000\n", "status.txt: the start depth is not a finite number: 'two'\n"},
      {"nan depth", "11\n1\n3\n1024\n2.000\nnan\n", "status.txt: the end depth is not a finite number: 'nan'\n"},
      {"inf depth", "11\n1\n3\n1024\ninf\n10.000\n", "status.txt: the start depth is not a finite number: 'inf'\n"},
      {"exponent 0", "0\n1\n3\n1024\n2.000\n10.000\n", "status.txt: the exponent is below 2: '0'\n"},
      {"exponent 1", "1\n1\n3\n1024\n2.000\n10.000\n", "status.txt: the exponent is below 2: '1'\n"},
      {"negative exponent", "-11\n1\n3\n1024\n2.000\n10.000\n", "status.txt: the exponent is below 2: '-11'\n"},
      {"negative k", "11\n-1\n3\n1024\n2.000\n10.000\n", "status.txt: the k is negative: '-1'\n"},
  };
  for (const Case& c : cases) {
    Session s;
    if (!c.content.empty()) s.write("status.txt", c.content);
    const RunResult r = s.run({"-r"});
    EXPECT_EQ(r.exit_status, 1) << c.name;
    EXPECT_EQ(r.out, kResumeBanner) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(s.file("status.txt"), c.content) << c.name;
    EXPECT_FALSE(s.exists("results.txt")) << c.name;
    EXPECT_FALSE(s.exists("status.txt.tmp")) << c.name;
  }
}

TEST(Resume, CheckpointThatIsADirectory) {
  Session s;
  std::filesystem::create_directory(s.dir.path() / "status.txt");
  const RunResult r = s.run({"-r"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.rfind("status.txt: cannot ", 0), 0u) << r.err;
  EXPECT_FALSE(s.exists("results.txt"));
}

TEST(Resume, ValuesMaySitOnOneLineAndNeedNoChecksOfANewRun) {
  // Any white space separates the values; an exponent that a new run would
  // refuse (composite) is used as read.
  Session s;
  s.write("status.txt", "9 1 3\t1024  60.25\n\n1.0");
  const RunResult r = s.run({"-r"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string head = kResumeBanner + "\nResuming factoring of 9 up to 1.000 bit depth...\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
}

}  // namespace
