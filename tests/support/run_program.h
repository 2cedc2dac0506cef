// SPDX-License-Identifier: MIT
// End-to-end runner: runs a built program in a working directory of its own,
// with a given standard input, and captures what it leaves behind.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct RunResult {
  int exit_status = -1;  // -1 when the program did not exit normally
  int signal = 0;        // the signal that ended it, if any
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs program with args in dir (which must exist), feeding input on standard
// input; gives up and kills it after timeout_seconds.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::filesystem::path& dir,
                      double timeout_seconds = 300);

// The program under test, in its own fresh directory: the usual case.
struct Session {
  TempDir dir;
  RunResult run(const std::vector<std::string>& args, const std::string& input = "");
  std::string file(const std::string& name) const;  // "" when it does not exist
  bool exists(const std::string& name) const;
  void write(const std::string& name, const std::string& content) const;
};

// A started program that the test may interrupt.
struct Running {
  pid_t pid = -1;
  std::filesystem::path out_path, err_path;
};
Running start_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::filesystem::path& dir);
// Whether it has not ended yet; it is left for finish_program to collect.
bool still_running(const Running& running);
// Waits for it to end (or kills it after timeout_seconds) and collects its output.
RunResult finish_program(Running& running, double timeout_seconds = 300);

// Reads a whole file; "" when it cannot be read.
std::string slurp(const std::filesystem::path& path);

// Replaces the figure (digits, '.', '-') after every occurrence of marker by
// "#", so that texts with processor-time figures compare byte for byte.
std::string mask_after(std::string text, const std::string& marker);
// The same for the total time and the sieve time of a run.
std::string mask_times(std::string text);

// Sets an environment variable (value nullptr: removes it) for the programs
// a test starts and the code it calls, and removes it again when it goes.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

#ifdef TAMRISK_BINARY
inline const std::string kProgram = TAMRISK_BINARY;
#endif
#ifdef TAMRISK_SHORT_SEGMENTS_BINARY
// The same program built with segments of 10000 values of k.
inline const std::string kShortSegmentsProgram = TAMRISK_SHORT_SEGMENTS_BINARY;
#endif
