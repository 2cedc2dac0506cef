// SPDX-License-Identifier: MIT
#include "support/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <cctype>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "tamrisk-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Running start_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const fs::path& dir) {
  // Standard streams live in a folder beside dir, so dir holds only what the
  // program itself creates.
  static int serial = 0;
  const fs::path io = fs::temp_directory_path() /
                      ("tamrisk-io-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
  fs::create_directories(io);
  Running r;
  r.out_path = io / "out";
  r.err_path = io / "err";
  const fs::path in_path = io / "in";
  std::ofstream(in_path, std::ios::binary) << input;

  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  r.pid = ::fork();
  if (r.pid < 0) throw std::runtime_error("fork failed");
  if (r.pid == 0) {
    const int in_fd = ::open(in_path.c_str(), O_RDONLY);
    const int out_fd = ::open(r.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(r.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return r;
}

bool still_running(const Running& running) {
  // WNOWAIT: looks at the child's state without collecting it.
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(running.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return false;
  }
  return info.si_pid == 0;
}

RunResult finish_program(Running& running, double timeout_seconds) {
  RunResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(timeout_seconds);
  for (;;) {
    const pid_t done = ::waitpid(running.pid, &status, WNOHANG);
    if (done == running.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(running.pid, SIGKILL);
      ::waitpid(running.pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = slurp(running.out_path);
  result.err = slurp(running.err_path);
  std::error_code ec;
  fs::remove_all(running.out_path.parent_path(), ec);
  return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const fs::path& dir, double timeout_seconds) {
  Running r = start_program(program, args, input, dir);
  return finish_program(r, timeout_seconds);
}


RunResult Session::run(const std::vector<std::string>& args, const std::string& input) {
  return run_program(kProgram, args, input, dir.path());
}


std::string Session::file(const std::string& name) const { return slurp(dir.path() / name); }

bool Session::exists(const std::string& name) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(dir.path() / name, ec));
}

void Session::write(const std::string& name, const std::string& content) const {
  std::ofstream(dir.path() / name, std::ios::binary) << content;
}

std::string mask_after(std::string text, const std::string& marker) {
  for (std::size_t at = text.find(marker); at != std::string::npos;
       at = text.find(marker, at + 1)) {
    const std::size_t start = at + marker.size();
    std::size_t end = start;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) ||
                                 text[end] == '.' || text[end] == '-')) {
      ++end;
    }
    if (end > start) text.replace(start, end - start, "#");
  }
  return text;
}

std::string mask_times(std::string text) {
  return mask_after(mask_after(std::move(text), "Total time   : "), "Sieve time   : ");
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() { ::unsetenv(name_); }
