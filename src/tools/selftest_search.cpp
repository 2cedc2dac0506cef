// SPDX-License-Identifier: MIT
#include "tools/selftest_search.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "core/big_int.h"
#include "records/status.h"
#include "tools/selftest_signals.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// A run over kSearchSpan values of k takes milliseconds; one that has not
// ended after this long is stopped and counted as a failure.
constexpr std::chrono::seconds kRunTimeout{300};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                       "/tamrisk-selftest-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      throw std::runtime_error(tmpl + ": cannot create: " + std::strerror(errno));
    }
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string first_line(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string slurp_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool has_line(const fs::path& path, const std::string& wanted) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line == wanted) return true;
  }
  return false;
}

// Runs program -r in dir with stdin and stdout on /dev/null, stderr into
// err_path, and TAMRISK_THREADS set; returns the wait status, or nothing
// after an interruption or the timeout (the program then stopped), with
// the reason in why.
std::optional<int> run_resume(const std::string& program, const fs::path& dir,
                              const fs::path& err_path, const std::string& device,
                              std::string& why) {
  // Everything the child needs is prepared before fork.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TAMRISK_THREADS=", 16) == 0) continue;
    if (!device.empty() && std::strncmp(*e, "TAMRISK_DEVICE=", 15) == 0) continue;
    env_text.emplace_back(*e);
  }
  env_text.push_back("TAMRISK_THREADS=" + std::to_string(kSearchThreads));
  if (!device.empty()) env_text.push_back("TAMRISK_DEVICE=" + device);
  std::vector<char*> envp;
  for (std::string& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string prog = program, flag = "-r";
  char* argv[] = {prog.data(), flag.data(), nullptr};
  const std::string dir_text = dir.string(), err_text = err_path.string();

  const pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("cannot start a process: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDWR);
    const int err_fd = ::open(err_text.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null_fd < 0 || err_fd < 0 || ::chdir(dir_text.c_str()) != 0) ::_exit(127);
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(err_fd, 2);
    ::execve(prog.c_str(), argv, envp.data());
    ::_exit(127);
  }

  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) {
      why = std::string("cannot wait for it: ") + std::strerror(errno);
      return std::nullopt;
    }
    const bool late = std::chrono::steady_clock::now() - start > kRunTimeout;
    if (selftest_interrupted() || late) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      why = late ? "did not end within " + std::to_string(kRunTimeout.count()) + " s"
                 : "interrupted";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

std::string search_checkpoint(std::uint64_t p, std::uint64_t k_first, std::uint64_t span) {
  const u128 d_low = 2 * u128(k_first) * p;
  const u128 d_high = 2 * (u128(k_first) + span) * p + 1;
  // Depth i + f stands for the divisor 2^i (1 + f).
  const auto depth = [](u128 x) {
    const unsigned i = bit_length(x) - 1;
    const u128 rest = x - (u128(1) << i);
    const double f = static_cast<double>(rest) / std::ldexp(1.0, static_cast<int>(i));
    return static_cast<double>(i) + f;
  };
  const BigInt exponent(p), k(k_first);
  BigInt low, high;
  set_u128(low, d_low);
  set_u128(high, d_high);
  // Whole thousandths, which the float of the file prints back exactly.
  const auto start = static_cast<float>(std::floor(depth(d_low) * 1000) / 1000);
  const auto end = static_cast<float>(std::ceil(depth(d_high) * 1000) / 1000);
  return status_text(exponent, k, low, high, start, end);
}

std::optional<std::string> search_row(const std::string& program, const SelftestRow& row,
                                      std::size_t serial, const OpenClDevice* device) {
  // The row's k lies at a place in the range that moves with serial, never
  // at its top.
  const std::uint64_t place = 1 + (serial * 38197) % (kSearchSpan - 2);
  const std::uint64_t k_first = row.k > place ? row.k - place : 1;
  try {
    TempDir dir;
    {
      std::ofstream status(dir.path() / "status.txt");
      status << search_checkpoint(row.p, k_first, kSearchSpan);
      if (!status.flush()) return (dir.path() / "status.txt").string() + ": cannot write";
    }
    const fs::path err_path = dir.path() / "stderr.txt";
    std::string why;
    const std::string request =
        device != nullptr ? "opencl:" + std::to_string(device->platform_index()) + ":" +
                                std::to_string(device->device_index())
                          : std::string();
    const std::optional<int> status = run_resume(program, dir.path(), err_path, request, why);
    if (!status) return why;
    if (WIFSIGNALED(*status)) {
      return "tamrisk -r ended by signal " + std::to_string(WTERMSIG(*status));
    }
    if (WEXITSTATUS(*status) != 0) {
      std::string reason = "tamrisk -r exited with status " + std::to_string(WEXITSTATUS(*status));
      const std::string err = first_line(err_path);
      if (!err.empty()) reason += " (" + err + ")";
      return reason;
    }
    if (!has_line(dir.path() / "results.txt",
                  "M" + std::to_string(row.p) + " has a factor: " + u128_decimal(row.d))) {
      return "no factor line in results.txt";
    }
    if (device != nullptr) {
      // On the device from the first twentieth to the last.
      const std::string err = slurp_text(err_path);
      if (err != "tamrisk: OpenCL device " + device->description() + "\n") {
        return "the run did not stay on the device (" + first_line(err_path) + ")";
      }
    }
    return std::nullopt;
  } catch (const std::exception& e) {
    return e.what();
  }
}

SearchReport check_search(const std::string& program, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures) {
  SearchReport report;
  if (::access(program.c_str(), X_OK) != 0) {
    report.runs = rows.size();
    failures.push_back("search: " + program + ": cannot run: " + std::strerror(errno));
    return report;
  }
  for (std::size_t i = 0; i < rows.size() && !selftest_interrupted(); ++i) {
    ++report.runs;
    if (const auto why = search_row(program, rows[i], i, nullptr)) {
      if (!selftest_interrupted()) failures.push_back("search " + name_row(rows[i]) + ": " + *why);
    } else {
      ++report.found;
    }
  }
  return report;
}

std::string beside_self(const std::string& name) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return name;
  return (self.parent_path() / name).string();
}
