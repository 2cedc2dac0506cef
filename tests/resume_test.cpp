// SPDX-License-Identifier: MIT
// Resuming from status.txt: what an unusable checkpoint does.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/opencl.h"
#include "kernels/kernels.h"
#include "support/run_program.h"

namespace {

const std::string kResumeBanner =
    "Tamrisk v. 4.02 - October 29th, 2005\n"
    "(trial factoring of Mersenne numbers 2^p-1 by a sieve over d = 2kp+1)";

const std::string kGood = "11\n1\n3\n1024\n2.000\n10.000\n";

struct RefusalCase {
  std::string name;
  std::string content;  // written as status.txt unless empty
  std::string err;
};

// The refusals of values that are damaged in place: a zero byte at the
// start, inside and at the end of each value, and two signs before it.
std::vector<RefusalCase> with_damaged_values(std::vector<RefusalCase> cases) {
  const std::vector<std::string> values = {"11", "10", "23", "2048", "2.000", "11.000"};
  const char* const names[] = {"the exponent",    "the k",           "the lower bound",
                               "the upper bound", "the start depth", "the end depth"};
  auto file_with = [&](std::size_t which, const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) text += (i == which ? value : values[i]) + "\n";
    return text;
  };
  auto refusal = [&](std::size_t which, const std::string& shown) {
    const char* kind = which < 4 ? " is not a whole number: '" : " is not a finite number: '";
    return "status.txt: " + std::string(names[which]) + kind + shown + "'\n";
  };
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string& v = values[i];
    for (const std::size_t at : {std::size_t{0}, v.size() / 2, v.size()}) {
      const std::string damaged = v.substr(0, at) + std::string(1, '\0') + v.substr(at);
      const std::string shown = v.substr(0, at) + "\\x00" + v.substr(at);
      cases.push_back({"zero byte at " + std::to_string(at) + " of " + names[i],
                       file_with(i, damaged), refusal(i, shown)});
    }
    for (const char* signs : {"+-", "-+", "++", "--"}) {
      cases.push_back({std::string(signs) + " before " + names[i], file_with(i, signs + v),
                       refusal(i, signs + v)});
    }
  }
  return cases;
}

TEST(Resume, UnusableCheckpointIsRefusedAndNothingIsWritten) {
  using Case = RefusalCase;
  using namespace std::string_literals;
  const std::vector<Case> cases = {
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
      {"zero-filled tail", kGood + std::string(64, '\0'),
       "status.txt: holds zero bytes after its six values: the file is damaged\n"},
      {"zero-filled last value", "11\n1\n3\n1024\n2.000\n\0\0\0\0\0\0\0"s,
       "status.txt: the end depth is not a finite number: '\\x00\\x00\\x00\\x00\\x00\\x00\\x00'\n"},
      {"junk after a depth", "11\n1\n3\n1024\n2.000x\n10.000\n",
       "status.txt: the start depth is not a finite number: '2.000x'\n"},
  };
  for (const Case& c : with_damaged_values(cases)) {
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

TEST(Resume, PlantedTemporaryFileIsNeverWrittenThrough) {
  // Someone with write access to the run directory links the old temporary
  // name to a file of the user's: the checkpoint must not land in it.
  TempDir outside;
  const auto precious = outside.path() / "precious";
  std::ofstream(precious) << "precious";
  Session s;
  s.write("status.txt", kGood);
  std::filesystem::create_symlink(precious, s.dir.path() / "status.txt.tmp");
  const RunResult r = s.run({"-r"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(slurp(precious), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(s.dir.path() / "status.txt"));
  EXPECT_EQ(s.file("status.txt"), "11\n46\n3\n1024\n2.000\n10.000\n");
  EXPECT_TRUE(std::filesystem::is_symlink(s.dir.path() / "status.txt.tmp"));
  // Nothing but the files of the run (and the planted link) is left behind:
  // no temporary file of the checkpoint or of the witness list.
  std::set<std::string> entries;
  for (const auto& e : std::filesystem::directory_iterator(s.dir.path())) {
    entries.insert(e.path().filename().string());
  }
  EXPECT_EQ(entries, (std::set<std::string>{"results.txt", "status.txt", "status.txt.tmp",
                                            "witnesses.txt"}));
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

// M(71) = 228479 * 48544121 * 212885833 * 3203431780337: three factors lie
// below 2^28, at k = 1609, 341860 and 1499196. From 2 to 28 bits a new run
// covers k = 1 .. 1890390 (its range counts from k = 0), 190 segments of the
// short-segment build; a resumed run covers its checkpoint's k up to, not
// including, 1890390, the last k below 2^28, which is the first k of a run
// from 28 bits on.
const std::string kM71Dialogue = "71\n2\n28\n";
const char* const kM71Factors[] = {"228479", "48544121", "212885833"};

int count_lines(const std::string& text, const std::string& line) {
  int n = 0;
  for (std::size_t at = text.find(line + "\n"); at != std::string::npos;
       at = text.find(line + "\n", at + 1)) {
    if (at == 0 || text[at - 1] == '\n') ++n;
  }
  return n;
}

TEST(Resume, ContinuesWhereTheCheckpointStands) {
  // A checkpoint written by hand in the middle of the range: only the rest
  // is searched, so the factor at k = 341860 is not met again.
  Session s;
  s.write("status.txt", "71\n700000\n3\n268435456\n2.000\n28.000\n");
  const RunResult r = run_program(kShortSegmentsProgram, {"-r"}, "", s.dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(s.file("results.txt"), "M71 has a factor: 212885833\n");
  EXPECT_EQ(s.file("status.txt"), "71\n1890390\n3\n268435456\n2.000\n28.000\n");
  // The first segment starts at the checkpoint's k.
  const std::size_t first = r.out.find("\nk=");
  ASSERT_NE(first, std::string::npos);
  EXPECT_GE(std::stol(r.out.substr(first + 3)), 700000);
}

TEST(Resume, FinishedCheckpointSearchesNothingMore) {
  // The new run's final checkpoint lies one k past the top of the range:
  // resumed, the range is empty and no segment runs.
  Session s;
  const RunResult first = run_program(kShortSegmentsProgram, {}, kM71Dialogue, s.dir.path());
  ASSERT_EQ(first.exit_status, 0) << first.err;
  const std::string checkpoint = s.file("status.txt");
  EXPECT_EQ(checkpoint, "71\n1890391\n3\n268435456\n2.000\n28.000\n");

  const RunResult again = s.run({"-r"});
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(mask_times(again.out),
            kResumeBanner + "\nResuming factoring of 71 up to 28.000 bit depth...\n"
                            "\nM71 no factor from 2.000 bits to 28.000 bits.\n"
                            "\nTotal time   : # secs.\n");
  EXPECT_EQ(s.file("status.txt"), checkpoint);

  // A resumed run's final checkpoint stands at the top of the range: resumed
  // again, one segment of 0 values runs and tests nothing.
  s.write("status.txt", "71\n1890390\n3\n268435456\n2.000\n28.000\n");
  const RunResult last = s.run({"-r"});
  EXPECT_EQ(last.exit_status, 0) << last.err;
  EXPECT_EQ(mask_times(last.out),
            kResumeBanner + "\nResuming factoring of 71 up to 28.000 bit depth...\n"
                            "\nReinitializing sieve\n"
                            "\nSieve time   : # secs. sieve percentage : 0.000\n"
                            "\nM71 no factor from 2.000 bits to 28.000 bits.\n"
                            "\nTotal time   : # secs.\n");
  EXPECT_EQ(s.file("status.txt"), "71\n1890390\n3\n268435456\n2.000\n28.000\n");
  std::string expect;
  for (const char* f : kM71Factors) expect += std::string("M71 has a factor: ") + f + "\n";
  expect += "M71 no factor from 2.000 bits to 28.000 bits.\n";
  expect += "M71 no factor from 2.000 bits to 28.000 bits.\n";
  EXPECT_EQ(s.file("results.txt"), expect);
}

TEST(Resume, KilledRunResumedFindsEveryFactor) {
  // Killed at several moments of a 190-segment run, then resumed until it
  // completes: every factor of the range is recorded, the checkpoint ends at
  // the end of the range, and no checkpoint is ever left half written.
  // On one thread and on three: the threads change nothing of this.
  // On the OpenCL device too, where one is installed (PoCL in CI).
  int interrupted = 0;  // kills that came between two checkpoints
  // The witness list of the run done in one go: each interrupted one keeps
  // the same, but for its last line (a resumed run stops one k short of a
  // new run's end, as the plan counts it).
  std::string whole;
  {
    Session s;
    const RunResult r = run_program(kShortSegmentsProgram, {}, kM71Dialogue, s.dir.path());
    ASSERT_EQ(r.exit_status, 0);
    whole = s.file("witnesses.txt");
    ASSERT_EQ(whole.rfind("71 16 1 1890391\n", 0), 0u) << whole;
    ASSERT_TRUE(whole.ends_with("through 1890390\n")) << whole;
  }
  const std::string whole_lines = whole.substr(0, whole.rfind("through "));
  struct Kill {
    const char* threads;
    int delay_ms;
    const char* device;
  };
  for (const auto& [threads, delay_ms, device] :
       {Kill{"1", 50, "cpu"}, {"1", 300, "cpu"}, {"1", 900, "cpu"}, {"3", 80, "cpu"},
        {"3", 400, "cpu"}, {"1", 200, "opencl"}, {"3", 700, "opencl"}}) {
    if (std::string(device) == "opencl" && !opencl_installed()) continue;
    ScopedEnv env("TAMRISK_THREADS", threads);
    ScopedEnv on("TAMRISK_DEVICE", device);
    Session s;
    Running running = start_program(kShortSegmentsProgram, {}, kM71Dialogue, s.dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    ::kill(running.pid, SIGKILL);
    const RunResult killed = finish_program(running);
    const std::string checkpoint = s.file("status.txt");
    if (killed.signal == SIGKILL && !checkpoint.empty() &&
        checkpoint != "71\n1890391\n3\n268435456\n2.000\n28.000\n") {
      ++interrupted;
    }
    if (!checkpoint.empty()) {
      // Six complete lines, whatever moment the kill came.
      EXPECT_EQ(count_lines(checkpoint, "71"), 1) << checkpoint;
      const std::string tail = "\n268435456\n2.000\n28.000\n";
      ASSERT_GT(checkpoint.size(), tail.size());
      EXPECT_EQ(checkpoint.substr(checkpoint.size() - tail.size()), tail) << checkpoint;
    }
    // Resume (or start anew when no checkpoint was written yet) until done.
    RunResult rest = checkpoint.empty()
                         ? run_program(kShortSegmentsProgram, {}, kM71Dialogue, s.dir.path())
                         : run_program(kShortSegmentsProgram, {"-r"}, "", s.dir.path());
    EXPECT_EQ(rest.exit_status, 0) << rest.err;
    // A new run ends one k past the last k below 2^28, a resumed one at it;
    // a kill that came after the last checkpoint leaves the new run's end.
    const std::string new_run_end = "71\n1890391\n3\n268435456\n2.000\n28.000\n";
    const bool resumed = !checkpoint.empty() && checkpoint != new_run_end;
    EXPECT_EQ(s.file("status.txt"),
              resumed ? "71\n1890390\n3\n268435456\n2.000\n28.000\n" : new_run_end);
    const std::string results = s.file("results.txt");
    for (const char* f : kM71Factors) {
      EXPECT_GE(count_lines(results, std::string("M71 has a factor: ") + f), 1)
          << threads << " threads, " << device << ", delay " << delay_ms << "ms, killed by signal "
          << killed.signal << "\n" << results;
    }
    // Every record is whole: a factor line or the closing no-factor line.
    std::size_t at = 0;
    for (std::size_t end; (end = results.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = results.substr(at, end - at);
      EXPECT_TRUE(line.rfind("M71 has a factor: ", 0) == 0 ||
                  line == "M71 no factor from 2.000 bits to 28.000 bits.")
          << line;
    }
    EXPECT_EQ(at, results.size()) << "a record without its line end";
    // The witnesses: the same as in one go, each one true (tamrisk-verify
    // recomputes every residue).
    EXPECT_EQ(s.file("witnesses.txt"),
              whole_lines + (resumed ? "through 1890389\n" : "through 1890390\n"));
    const RunResult verified = run_program(TAMRISK_VERIFY_BINARY, {}, "", s.dir.path());
    EXPECT_EQ(verified.exit_status, 0) << verified.out << verified.err;
  }
  EXPECT_GE(interrupted, 1) << "no kill landed in the middle of the run";
}

// The OpenCL device failing mid-run, as the test builds with planted faults
// make it: the batch after the first N refuses to launch, never comes back,
// or names a divisor that is none. The run goes on on the CPU from the
// first batch whose results were not in, and writes exactly what a run on
// the CPU writes, with one line on stderr naming the fault. M71 from 2 to
// 26 bits in segments of 10000 k from k = 1 (its factors lie at k = 1609
// and 341860): with whole segments on the device (a batch a segment), and with the CPU's sieve and each chunk of 500 k tested there
// (a batch a chunk; the first 14 chunks hold no candidate at all, as every
// d below 10^6 but the factors is struck by the deeper sieve).
TEST(Resume, OpenClFailureMidRunLosesNothing) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const std::string dialogue = "71\n2\n26\n";
  Session cpu;
  RunResult want;
  {
    ScopedEnv env("TAMRISK_DEVICE", "cpu");
    want = run_program(TAMRISK_PLANTED_GPU_FAULT_SHORT_BINARY, {}, dialogue, cpu.dir.path());
  }
  ASSERT_EQ(want.exit_status, 0);
  ASSERT_EQ(want.err, "");
  const std::string named = "tamrisk: OpenCL device " + device->description();
  const std::string refused = "clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES (planted)";
  const std::string lost = "a batch did not come back within 300 seconds (planted)";
  struct Fault {
    std::string program;
    const char* planted;
    std::string err_tail;  // after the line naming the device, and its name again
    std::string err_end = "\n";
  };
  const auto from = [&](const std::string& why, long k) {
    return ": " + why + "; testing on the CPU from k = " + std::to_string(k) + "\n";
  };
  const std::string segments = TAMRISK_PLANTED_GPU_FAULT_SHORT_BINARY;
  const std::string chunks = TAMRISK_PLANTED_GPU_FAULT_CHUNKS_BINARY;
  const std::vector<Fault> faults = {
      {segments, "fail:0", from(refused, 1)},
      {segments, "fail:4", from(refused, 30001)},
      {segments, "fail:35", from(refused, 340001)},
      {segments, "stall:3", from(lost, 30001)},
      {segments, "stall:40", from(lost, 400001)},
      // The false divisor is offset 0's candidate, 2 * 71 * 200001 + 1.
      {segments, "wrong:20", from("it named a divisor that is none (28400143)", 200001)},
      {chunks, "fail:0", from(refused, 1)},
      {chunks, "fail:4", from(refused, 1501)},
      {chunks, "fail:684", from(refused, 341501)},
      {chunks, "stall:3", from(lost, 1501)},
      {chunks, "stall:700", from(lost, 350001)},
      {chunks, "wrong:20", ": it named a divisor that is none (",
       "); testing on the CPU from k = 10001\n"},
  };
  for (const Fault& fault : faults) {
    const std::string label =
        std::string(fault.program == segments ? "segments " : "chunks ") + fault.planted;
    ScopedEnv env("TAMRISK_DEVICE", "opencl");
    ScopedEnv planted("TAMRISK_PLANTED_GPU_FAULT", fault.planted);
    Session s;
    const RunResult r = run_program(fault.program, {}, dialogue, s.dir.path());
    EXPECT_EQ(r.exit_status, 0) << label;
    EXPECT_EQ(mask_times(r.out), mask_times(want.out)) << label;
    EXPECT_EQ(s.file("results.txt"), cpu.file("results.txt")) << label;
    EXPECT_EQ(s.file("status.txt"), cpu.file("status.txt")) << label;
    const std::string head = named + "\n" + named + fault.err_tail;
    EXPECT_EQ(r.err.substr(0, head.size()), head) << label << ": " << r.err;
    EXPECT_TRUE(r.err.ends_with(fault.err_end)) << label << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << label << ": " << r.err;
  }
}

// A device taken by default (here PoCL, which "as-gpu" lets the default
// take) that tests its first chunks more slowly than the CPU ("slow" makes
// its clock say so, whatever the machine) is left, with one line that says
// so, and the run writes what a run on the CPU writes: M86249 from 40 to
// 40.5 bits, one segment of 3.2 million k.
TEST(Resume, SlowerDeviceTakenByDefaultIsLeft) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const std::string dialogue = "86249\n40\n40.5\n";
  Session cpu, slow;
  RunResult want, r;
  {
    ScopedEnv env("TAMRISK_DEVICE", "cpu");
    want = run_program(TAMRISK_PLANTED_GPU_FAULT_BINARY, {}, dialogue, cpu.dir.path());
  }
  {
    ScopedEnv env("TAMRISK_DEVICE", nullptr);
    ScopedEnv planted("TAMRISK_PLANTED_GPU_FAULT", "as-gpu,slow");
    r = run_program(TAMRISK_PLANTED_GPU_FAULT_BINARY, {}, dialogue, slow.dir.path());
  }
  ASSERT_EQ(want.exit_status, 0);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mask_times(r.out), mask_times(want.out));
  EXPECT_EQ(slow.file("results.txt"), cpu.file("results.txt"));
  EXPECT_EQ(slow.file("status.txt"), cpu.file("status.txt"));
  EXPECT_EQ(r.err, "tamrisk: OpenCL device " + device->description() +
                       ": slower than the CPU path here; testing on the CPU\n");
}

// A CPU kernel that computes wrong residues (the kernels' test build, where
// TAMRISK_PLANTED_RESIDUE makes one in N come out 0 or a value of its own)
// is caught by the check of the residues it flags: one line names it and
// the k from which GMP takes over, and the run writes what a sound run
// writes. M86249 from 40 to 41 bits: one segment of about 6.4 million k.
TEST(Resume, CpuKernelWithWrongResiduesIsCaught) {
  const std::string dialogue = "86249\n40\n41\n";
  Session sound;
  const RunResult want = run_program(kProgram, {}, dialogue, sound.dir.path());
  ASSERT_EQ(want.exit_status, 0);
  ASSERT_EQ(want.err, "");
  const std::string kernel = kernel_available(Kernel::Ifma) ? "ifma" : "mont2x64";
  for (const char* planted : {"zero:1", "zero:100000", "random:1"}) {
    ScopedEnv force("TAMRISK_KERNEL", kernel.c_str());
    ScopedEnv wrong("TAMRISK_PLANTED_RESIDUE", planted);
    Session s;
    const RunResult r = run_program(TAMRISK_PLANTED_FAULT_BINARY, {}, dialogue, s.dir.path());
    EXPECT_EQ(r.exit_status, 0) << planted;
    EXPECT_EQ(mask_times(r.out), mask_times(want.out)) << planted;
    for (const char* name : {"results.txt", "status.txt"}) {
      EXPECT_EQ(s.file(name), sound.file(name)) << planted << " " << name;
    }
    // A wrong residue of 0 is flagged the moment it comes, so nothing of the
    // kernel's is reported; random ones are caught at their first flag
    // (about one in 2^16), and the chunks reported before then may lack
    // witnesses: the list holds, with what it has.
    if (std::string(planted).rfind("zero:", 0) == 0) {
      EXPECT_EQ(s.file("witnesses.txt"), sound.file("witnesses.txt")) << planted;
    }
    const RunResult verified = run_program(TAMRISK_VERIFY_BINARY, {}, "", s.dir.path());
    EXPECT_EQ(verified.exit_status, 0) << planted << ": " << verified.out << verified.err;
    const std::string head = "tamrisk: CPU kernel " + kernel + ": ";
    EXPECT_EQ(r.err.rfind(head, 0), 0u) << planted << ": " << r.err;
    EXPECT_NE(r.err.find("; testing with GMP from k = "), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// An OpenCL device that computes wrong residues, or flags none (the
// device's test build, planting them in its kernels), is caught by the
// check of its flags or of their count before its segment is reported:
// one line names it and the k from which the CPU takes over, and the run
// writes what a run on the CPU writes, its witnesses too. M86249 from 40 to
// 42 bits: one segment of about 19 million k, about 700000 tested, some
// 700 flags due at 2^10.
TEST(Resume, OpenClDeviceWithWrongResiduesIsCaught) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const std::string dialogue = "86249\n40\n42\n";
  Session cpu;
  RunResult want;
  {
    ScopedEnv env("TAMRISK_DEVICE", "cpu");
    want = run_program(TAMRISK_PLANTED_GPU_FAULT_BINARY, {}, dialogue, cpu.dir.path());
  }
  ASSERT_EQ(want.exit_status, 0);
  const std::string named = "tamrisk: OpenCL device " + device->description();
  const struct {
    const char* planted;
    std::string reason;  // the start of the line's reason
  } faults[] = {
      {"residue-random:1", ": the residue it gave for k = "},
      {"residue-zero:100000", ": the residue it gave for k = "},
      {"noflags", ": it flagged 0 residues where about "},
  };
  for (const auto& fault : faults) {
    ScopedEnv env("TAMRISK_DEVICE", "opencl");
    ScopedEnv planted("TAMRISK_PLANTED_GPU_FAULT", fault.planted);
    Session s;
    const RunResult r = run_program(TAMRISK_PLANTED_GPU_FAULT_BINARY, {}, dialogue, s.dir.path());
    EXPECT_EQ(r.exit_status, 0) << fault.planted;
    EXPECT_EQ(mask_times(r.out), mask_times(want.out)) << fault.planted;
    for (const char* name : {"results.txt", "status.txt", "witnesses.txt"}) {
      EXPECT_EQ(s.file(name), cpu.file(name)) << fault.planted << " " << name;
    }
    const std::string head = named + "\n" + named + fault.reason;
    EXPECT_EQ(r.err.substr(0, head.size()), head) << fault.planted << ": " << r.err;
    EXPECT_TRUE(r.err.ends_with("; testing on the CPU from k = 6374054\n"))
        << fault.planted << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  }
}

}  // namespace
