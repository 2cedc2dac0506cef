// SPDX-License-Identifier: MIT
// End-to-end: the program run in a fresh directory with a given input.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/opencl.h"
#include "support/run_program.h"

namespace {

const std::string kUsage =
    "\nusage : ./tamrisk [-parameter]\n\n"
    "   -h : this screen\n"
    "   -f : get value and bit_depth of first factor\n"
    "   -b : run benchmark\n"
    "   -r : resume status.txt file in silent mode\n\n";

const std::string kNewBanner =
    "\nTamrisk v. 4.02 - October 29th, 2005\n"
    "(trial factoring of Mersenne numbers 2^p-1 by a sieve over d = 2kp+1)\n";

const std::string kPrompts =
    "Please enter the exponent to be factored: 2^"
    "Now enter start bit depth  : "
    "Finally enter end bit depth : ";

TEST(Cli, UsageScreenForEveryCommandLineWithoutAMode) {
  const std::vector<std::vector<std::string>> lines = {
      {"-h"}, {"-"}, {"-q"}, {"-x"}, {"-R"}, {"f"}, {"help"}, {"-r", "-r"}, {"-b", "x", "y"}};
  for (const auto& args : lines) {
    Session s;
    const RunResult r = s.run(args);
    EXPECT_EQ(r.exit_status, 0) << args[0];
    EXPECT_EQ(r.out, kUsage) << args[0];
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(s.dir.path()));
  }
}

TEST(Cli, RefusedExponents) {
  struct Case {
    std::string input;
    std::string message;
  };
  const std::string known = "You entered a known Mersenne Prime number. Try Again!\n";
  const std::string composite = "You didn't enter a prime number. Try Again!\n";
  const Case cases[] = {
      {"0\n", ""},           {"abc\n", ""},         {"", ""},
      {"2\n", known},        {"127\n", known},      {"86243\n", known},
      {"25964951\n", known}, {"1\n", composite},    {"9\n", composite},
      {"86251\n", composite}, {"-7\n", composite},  {"-86243\n", composite},
      {"80000021\n", composite},
  };
  for (const Case& c : cases) {
    Session s;
    const RunResult r = s.run({}, c.input);
    EXPECT_EQ(r.exit_status, 1) << c.input;
    EXPECT_EQ(r.out, kNewBanner + "Please enter the exponent to be factored: 2^" + c.message)
        << c.input;
    EXPECT_TRUE(std::filesystem::is_empty(s.dir.path())) << c.input;
  }
}

TEST(Cli, RefusedDepths) {
  const std::string inputs[] = {"1277\nnan\n40\n",   "1277\n2\ninf\n",   "1277\n2\n-1\n",
                                "1277\n4097\n4098\n", "1277\n2\n4096.5\n", "1277\n-inf\n10\n",
                                "1277\n2\n1e40\n"};
  for (const std::string& input : inputs) {
    Session s;
    const RunResult r = s.run({}, input);
    EXPECT_EQ(r.exit_status, 1) << input;
    EXPECT_EQ(r.out, kNewBanner + kPrompts + "Bit depths must lie between 0 and 4096. Try Again!\n")
        << input;
    EXPECT_TRUE(std::filesystem::is_empty(s.dir.path())) << input;
  }
}

// Runs whose range holds no segment end at once with the no-factor record.
TEST(Cli, EmptyRangeEndsWithTheNoFactorRecord) {
  struct Case {
    std::string input;
    std::string echo;
    std::string record;
  };
  const Case cases[] = {
      {"86249\n60\n56\n", "60.000 bits up to 56.000", "M86249 no factor from 60.000 bits to 56.000 bits."},
      // An unreadable end depth keeps 1.0, below any start.
      {"86249\n60\nx\n", "60.000 bits up to 1.000", "M86249 no factor from 60.000 bits to 1.000 bits."},
      {"1277\n30.5\n20\n", "30.500 bits up to 20.000", "M1277 no factor from 30.500 bits to 20.000 bits."},
  };
  for (const Case& c : cases) {
    Session s;
    const RunResult r = s.run({}, c.input);
    EXPECT_EQ(r.exit_status, 0) << c.input;
    EXPECT_EQ(mask_times(r.out), kNewBanner + kPrompts + "\nSieving factors from " + c.echo +
                                     " bits...\n\n" + c.record + "\n\nTotal time   : # secs.\n")
        << c.input;
    EXPECT_EQ(s.file("results.txt"), c.record + "\n");
    EXPECT_FALSE(s.exists("status.txt"));
  }
}

TEST(Cli, UnwritableResultsEndsWithStatusTwo) {
  Session s;
  std::filesystem::create_symlink("/dev/full", s.dir.path() / "results.txt");
  const RunResult r = s.run({}, "86249\n60\n56\n");
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "results.txt: cannot write: No space left on device\n");
  EXPECT_NE(r.out.find("M86249 no factor from 60.000 bits to 56.000 bits.\n\nTotal time"),
            std::string::npos);
}

TEST(Cli, AcceptedExponentsReachTheDepthPrompts) {
  // Primes next to table entries, and one above the lookup limit; an end
  // depth below the start keeps each run short.
  for (const char* p : {"1277", "1283", "86249", "25964957", "80000023"}) {
    Session s;
    const RunResult r = s.run({}, std::string(p) + "\n10\n5\n");
    EXPECT_EQ(r.exit_status, 0) << p;
    EXPECT_EQ(r.out.substr(0, kNewBanner.size() + kPrompts.size()), kNewBanner + kPrompts) << p;
    EXPECT_EQ(s.file("results.txt"), std::string("M") + p + " no factor from 10.000 bits to 5.000 bits.\n");
  }
}

TEST(Cli, StartDepthBelowTwoIsRaised) {
  for (const char* depth : {"1.5", "0", "-3"}) {
    Session s;
    const RunResult r = s.run({}, std::string("1277\n") + depth + "\n1\n");
    EXPECT_EQ(r.exit_status, 0) << depth;
    EXPECT_NE(r.out.find("\nSieving factors from 2.000 bits up to 1.000 bits...\n"),
              std::string::npos) << depth;
    EXPECT_EQ(s.file("results.txt"), "M1277 no factor from 2.000 bits to 1.000 bits.\n");
  }
}

// Starts a long run, waits until its output holds `until` (or the program
// has ended), then kills it.
std::string output_until(const std::vector<std::string>& args, const std::string& input,
                         const std::string& until, Session& s) {
  Running running = start_program(kProgram, args, input, s.dir.path());
  for (int i = 0; i < 3000 && slurp(running.out_path).find(until) == std::string::npos &&
                  still_running(running);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(running.pid, SIGKILL);
  return finish_program(running).out;
}

TEST(Cli, AcceptedDialogueOfALongRun) {
  Session s;
  const std::string out = output_until({}, "86249\n60\n61\n", "Sieve time", s);
  EXPECT_EQ(out.substr(0, out.find("Sieve time")),
            kNewBanner + kPrompts +
                "\nSieving factors from 60.000 bits up to 61.000 bits...\n"
                "\nReinitializing sieve\n\n");
  Session t;
  const std::string fractional = output_until({}, "86249\n64.5\n65.25\n", "Reinit", t);
  EXPECT_NE(fractional.find("\nSieving factors from 64.500 bits up to 65.250 bits...\n"),
            std::string::npos);
}

TEST(Cli, ResumedRunOpensWithItsThreeLines) {
  // A checkpoint at the top of the range: the run resumes, searches an
  // empty segment and ends.
  Session s;
  s.write("status.txt",
          "86249\n13367360834407\n1152921504606846975\n2305843009213693952\n60.000\n61.000\n");
  const RunResult r = s.run({"-r"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string head =
      "Tamrisk v. 4.02 - October 29th, 2005\n"
      "(trial factoring of Mersenne numbers 2^p-1 by a sieve over d = 2kp+1)\n"
      "Resuming factoring of 86249 up to 61.000 bit depth...\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_EQ(s.file("results.txt"), "M86249 no factor from 60.000 bits to 61.000 bits.\n");
}

TEST(Cli, UnusableThreadCountOrDeviceIsRefusedBeforeAnything) {
  const std::string good = "11\n1\n3\n1024\n2.000\n10.000\n";
  struct Refused {
    const char* variable;
    std::string value, err;
  };
  std::vector<Refused> cases;
  for (const std::string value : {"", "0", "-1", "1025", "2x", "1e3", "18446744073709551617"}) {
    cases.push_back({"TAMRISK_THREADS", value,
                     "TAMRISK_THREADS: '" + value + "' is not a whole number from 1 to 1024\n"});
  }
  for (const std::string value : {"", "gpu", "OpenCL", "opencl:0", "opencl:0:0:0", "cpu,opencl"}) {
    cases.push_back({"TAMRISK_DEVICE", value,
                     "TAMRISK_DEVICE: '" + value + "' is not cpu, opencl or opencl:PLATFORM:DEVICE\n"});
  }
  for (const auto& [variable, value, err] : cases) {
    ScopedEnv env(variable, value);
    Session fresh;
    const RunResult r = fresh.run({}, "11\n2\n10\n");
    EXPECT_EQ(r.exit_status, 1) << value;
    EXPECT_EQ(r.out, "") << value;
    EXPECT_EQ(r.err, err);
    EXPECT_TRUE(std::filesystem::is_empty(fresh.dir.path())) << value;
    Session resumed;
    resumed.write("status.txt", good);
    const RunResult again = resumed.run({"-r"});
    EXPECT_EQ(again.exit_status, 1) << value;
    EXPECT_EQ(again.out, "") << value;
    EXPECT_EQ(again.err, err);
    EXPECT_EQ(resumed.file("status.txt"), good) << value;
    EXPECT_FALSE(resumed.exists("results.txt")) << value;
  }
  // The tools do not search and do not read them.
  ScopedEnv env("TAMRISK_THREADS", "0");
  ScopedEnv device("TAMRISK_DEVICE", "gpu");
  Session inspector;
  EXPECT_EQ(inspector.run({"-f"}, "11\n1\n").exit_status, 1);
  EXPECT_EQ(inspector.run({"-f"}, "11\n1\n").err, "");
}

TEST(Cli, EveryThreadCountAndDeviceWritesTheSameRun) {
  // The worked run, M11 from 2 to 10 bits: 23 and 89, on 1 to 7 threads,
  // on the CPU, on the OpenCL device where there is one, and with a device
  // asked for that is not there (the run then says so and stays on the CPU).
  std::string first;
  struct Setting {
    const char* threads;
    const char* device;
  };
  std::vector<Setting> settings = {{"1", nullptr}, {"2", nullptr}, {"3", nullptr},
                                   {"7", nullptr}, {"2", "cpu"},   {"2", "opencl:999:0"}};
  if (opencl_installed()) settings.insert(settings.end(), {{"1", "opencl"}, {"3", "opencl"}});
  for (const auto& [threads, device] : settings) {
    ScopedEnv env("TAMRISK_THREADS", threads);
    ScopedEnv on("TAMRISK_DEVICE", device);
    const std::string label = std::string(threads) + " threads, " + (device ? device : "default");
    Session s;
    const RunResult r = s.run({}, "11\n2\n10\n");
    EXPECT_EQ(r.exit_status, 0) << label;
    EXPECT_EQ(s.file("results.txt"), "M11 has a factor: 23\nM11 has a factor: 89\n") << label;
    EXPECT_EQ(s.file("status.txt"), "11\n47\n3\n1024\n2.000\n10.000\n") << label;
    const std::string out = mask_times(r.out);
    if (first.empty()) first = out;
    EXPECT_EQ(out, first) << label;
    const std::string device_name = device ? device : "";
    if (device_name == "opencl") {
      EXPECT_EQ(r.err, "tamrisk: OpenCL device " + opencl_for_tests(nullptr)->description() + "\n")
          << label;
    } else if (device_name == "opencl:999:0") {
      EXPECT_EQ(r.err.rfind("tamrisk: OpenCL: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find("; testing on the CPU\n"), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    } else if (device == nullptr && !r.err.empty()) {
      // By default only a GPU is taken (never PoCL, a CPU-type device).
      EXPECT_EQ(r.err.rfind("tamrisk: OpenCL device ", 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    } else {
      EXPECT_EQ(r.err, "") << label;
    }
  }
}

}  // namespace
