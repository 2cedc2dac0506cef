// SPDX-License-Identifier: MIT
#include "tools/selftest.h"

#include <fcntl.h>
#include <gmp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

#include "gpu/device_request.h"
#include "gpu/opencl_batches.h"
#include "gpu/opencl_device.h"
#include "tools/known_factors.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBatch = 4096;        // the fast walk's batch
constexpr std::size_t kQuickStride = 16;    // --quick tries every 16th row
constexpr std::size_t kShortBatchCycle = 5; // one batch in five is cut short
constexpr unsigned kBandBits = 8;           // size bands of the search sample
constexpr std::size_t kFailuresNamed = 3;   // rows the verdict names
// A run over kSearchSpan values of k takes milliseconds; one that has not
// ended after this long is stopped and counted as a failure.
constexpr std::chrono::seconds kRunTimeout{300};

// The signal that asked the self-test to stop, 0 while none has.
volatile sig_atomic_t g_signal = 0;

void on_signal(int sig) { g_signal = sig; }

bool interrupted() { return g_signal != 0; }

std::string decimal(u128 x) {
  if (x == 0) return "0";
  std::string s;
  while (x != 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(x % 10)));
    x /= 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}

// A GMP integer for the lifetime of a scope.
class Mpz {
 public:
  Mpz() { mpz_init(v_); }
  explicit Mpz(u128 x) {
    mpz_init(v_);
    const std::uint64_t limbs[2] = {static_cast<std::uint64_t>(x),
                                    static_cast<std::uint64_t>(x >> 64)};
    mpz_import(v_, 2, -1, sizeof limbs[0], 0, 0, limbs);
  }
  ~Mpz() { mpz_clear(v_); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  mpz_ptr get() { return v_; }

 private:
  mpz_t v_;
};

// 2^p mod d == 1, by the integer library: the independent judge of a flag.
bool divides_mersenne(std::uint64_t p, u128 d) {
  Mpz two(2), exponent(p), modulus(d), residue;
  mpz_powm(residue.get(), two.get(), exponent.get(), modulus.get());
  return mpz_cmp_ui(residue.get(), 1) == 0;
}

bool is_prime(u128 d) {
  Mpz n(d);
  return mpz_probab_prime_p(n.get(), 30) != 0;
}

std::string name_row(const SelftestRow& row) {
  return "M" + std::to_string(row.p) + " k=" + std::to_string(row.k) + " d=" + decimal(row.d);
}

std::string padded(std::string_view name) {
  std::string s(name);
  s.resize(std::max<std::size_t>(s.size() + 1, 9), ' ');
  return s;
}

// Candidates 2k'p + 1 of the row's exponent near its k, alternately above
// and below, within the kernel's bound, into d[0 .. n). They almost never
// divide M(p); a flag on one is judged by divides_mersenne.
void fill_neighbours(const SelftestRow& row, unsigned max_bits, std::vector<u128>& d,
                     std::size_t n) {
  std::size_t filled = 0;
  const u128 two_p = 2 * u128(row.p);
  const auto accept = [&](u128 candidate) {
    if (filled < n && bit_length(candidate) <= max_bits) d[filled++] = candidate;
  };
  for (std::uint64_t j = 1; filled < n && j <= 2 * kBatch; ++j) {
    accept((u128(row.k) + j) * two_p + 1);
    if (row.k > j) accept((u128(row.k) - j) * two_p + 1);
  }
  // Both sides are blocked only for a d at the bound with a small k, which
  // no row of the table is; repeat what there is rather than leave lanes
  // unset.
  for (std::size_t i = filled; i < n && filled > 0; ++i) d[i] = d[i % filled];
}

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

// Installs on_signal for SIGINT, SIGTERM and SIGHUP, and puts the previous
// handlers back when it goes.
class SignalGuard {
 public:
  SignalGuard() {
    g_signal = 0;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      sigaction(kSignals[i], &action, &previous_[i]);
    }
  }
  ~SignalGuard() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
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
    if (interrupted() || late) {
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

// ---------------------------------------------------------------------------

SelftestArgs parse_selftest_args(int argc, const char* const* argv) {
  SelftestArgs args;
  if (argc == 1) return args;
  if (argc == 2) {
    const std::string_view a = argv[1];
    if (a == "--quick") {
      args.quick = true;
      return args;
    }
    if (a == "-h" || a == "--help") {
      args.action = SelftestAction::Help;
      return args;
    }
  }
  args.action = SelftestAction::BadUsage;
  return args;
}

void print_selftest_usage(std::FILE* to, bool help) {
  std::fputs("usage: tamrisk-selftest [--quick]\n", to);
  if (!help) return;
  std::fputs(
      "Checks that this machine finds 2818 known factors of Mersenne numbers with\n"
      "every exponentiation kernel it offers, and through the whole search of the\n"
      "tamrisk program installed beside it.\n"
      "  --quick   a sample of the known factors, within a few seconds\n"
      "Exit status: 0 when every factor was found, 1 when any was missed,\n"
      "2 for a bad command line.\n",
      to);
}

std::vector<SelftestRow> selftest_rows() {
  std::vector<SelftestRow> rows;
  for (const KnownFactor& f : known_factors()) {
    SelftestRow row;
    row.p = f.p;
    row.k = f.k;
    row.d = 2 * u128(f.k) * f.p + 1;
    row.bits = bit_length(row.d);
    rows.push_back(row);
  }
  return rows;
}

std::vector<SelftestRow> kernel_sample(std::span<const SelftestRow> rows, bool quick) {
  if (!quick) return {rows.begin(), rows.end()};
  std::vector<SelftestRow> out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i % kQuickStride == 0 || i + 1 == rows.size()) out.push_back(rows[i]);
  }
  return out;
}

std::vector<SelftestRow> search_sample(std::span<const SelftestRow> rows, bool quick) {
  // Rows with prime d, grouped by band in the table's order (by size).
  std::vector<std::vector<SelftestRow>> bands;
  for (const SelftestRow& row : rows) {
    const std::size_t band = row.bits / kBandBits;
    if (bands.size() <= band) bands.resize(band + 1);
    if (is_prime(row.d)) bands[band].push_back(row);
  }
  std::vector<SelftestRow> out;
  for (const auto& band : bands) {
    if (band.empty()) continue;
    std::vector<std::size_t> picks{band.size() / 2};
    if (!quick) picks = {0, band.size() / 2, band.size() - 1};
    std::sort(picks.begin(), picks.end());
    picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
    for (std::size_t i : picks) out.push_back(band[i]);
  }
  return out;
}

BatchLayout batch_layout(std::size_t serial) {
  BatchLayout layout;
  layout.size = serial % kShortBatchCycle == kShortBatchCycle - 1
                    ? 1 + (serial * 389) % (kBatch - 1)
                    : kBatch;
  const std::size_t n = layout.size, quarter = n / 4;
  // With whole batches the m-th place is m * 1024 + 4 serial + m (mod 4096):
  // modulo a width w dividing 64 that is 4 serial + m, and modulo 48 it is
  // 17 m + 4 serial; one short batch in five (a cycle prime to 2 and 3) does
  // not keep any of these residues from coming round.
  layout.planted = {0, n - 1};
  for (std::size_t m = 0; m < 4; ++m) layout.planted.push_back((m * quarter + 4 * serial + m) % n);
  std::sort(layout.planted.begin(), layout.planted.end());
  layout.planted.erase(std::unique(layout.planted.begin(), layout.planted.end()),
                       layout.planted.end());
  return layout;
}

KernelReport check_kernel(Kernel kernel, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures) {
  KernelReport report;
  report.kernel = kernel;
  report.available = kernel_available(kernel);
  if (!report.available) return report;
  const unsigned max_bits = kernel_max_bits(kernel);
  const std::string name(kernel_name(kernel));
  std::vector<u128> d(kBatch);
  std::vector<std::uint8_t> flags(kBatch);
  std::vector<bool> is_planted(kBatch);
  std::size_t serial = 0;
  for (const SelftestRow& row : rows) {
    if (interrupted()) break;
    if (row.bits > max_bits) continue;
    const BatchLayout layout = batch_layout(serial++);
    const std::size_t n = layout.size;
    ++report.tried;
    fill_neighbours(row, max_bits, d, n);
    std::fill(is_planted.begin(), is_planted.end(), false);
    for (std::size_t lane : layout.planted) {
      d[lane] = row.d;
      is_planted[lane] = true;
    }
    // 2 is neither verdict: a lane the kernel leaves unwritten shows.
    std::fill(flags.begin(), flags.end(), std::uint8_t{2});
    divides_batch(kernel, row.p, d.data(), n, flags.data());

    std::optional<std::size_t> missed_lane;
    for (std::size_t i = 0; i < n; ++i) {
      if (is_planted[i]) {
        if (flags[i] != 1 && !missed_lane) missed_lane = i;
      } else if (flags[i] != 0 && !(flags[i] == 1 && divides_mersenne(row.p, d[i]))) {
        ++report.false_divisors;
        const std::string what = flags[i] == 1
                                     ? "flagged as a divisor, which it is not"
                                     : "left with verdict " + std::to_string(flags[i]);
        failures.push_back(name + " M" + std::to_string(row.p) + " d=" + decimal(d[i]) +
                           " (lane " + std::to_string(i) + " of " + std::to_string(n) +
                           "): " + what);
      }
    }
    if (missed_lane) {
      failures.push_back(name + " " + name_row(row) + " (lane " + std::to_string(*missed_lane) +
                         " of " + std::to_string(n) + ")");
    } else {
      ++report.found;
    }
  }
  return report;
}

OpenClOffer offered_opencl_device() {
  OpenClOffer offer;
  const char* value = std::getenv(kDeviceVariable);
  const std::optional<DeviceRequest> request =
      parse_device_request(value != nullptr ? value : "");
  if (value != nullptr && !request) {
    offer.why = std::string(kDeviceVariable) + " '" + value +
                "' is not cpu, opencl or opencl:PLATFORM:DEVICE";
    offer.fault = true;
    return offer;
  }
  const DeviceRequest asked = value != nullptr ? *request : DeviceRequest{};
  if (asked.kind == DeviceRequest::Kind::Cpu) {
    offer.why = std::string(kDeviceVariable) + "=cpu";
    return offer;
  }
  std::string why;
  offer.device = shared_opencl_device(asked, &why);
  if (offer.device == nullptr) {
    // A device asked for, or a GPU that is there, that cannot serve fails
    // the test; no GPU at all is no fault.
    offer.fault = !why.empty();
    offer.why = !why.empty() ? why
                             : "no OpenCL GPU found (" + std::string(kDeviceVariable) +
                                   "=opencl takes any OpenCL device)";
  }
  return offer;
}

KernelReport check_opencl(OpenClDevice& device, std::span<const SelftestRow> rows,
                          std::vector<std::string>& failures) {
  KernelReport report;
  report.available = true;
  std::vector<u128> d(kBatch);
  std::vector<std::uint32_t> offsets(kBatch), hits;
  std::size_t serial = 0;
  OpenClBatches batches(device);
  for (const SelftestRow& row : rows) {
    if (interrupted()) break;
    if (row.bits > OpenClDevice::kMaxBits) continue;
    const BatchLayout layout = batch_layout(serial++);
    const std::size_t n = layout.size;
    ++report.tried;
    // The batch as the search hands it over: offsets from its smallest
    // candidate, all of them of the form 2k'p + 1.
    fill_neighbours(row, OpenClDevice::kMaxBits, d, n);
    for (std::size_t lane : layout.planted) d[lane] = row.d;
    const u128 two_p = 2 * u128(row.p);
    const u128 base = *std::min_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t i = 0; i < n; ++i) offsets[i] = static_cast<std::uint32_t>((d[i] - base) / two_p);
    const auto row_offset = static_cast<std::uint32_t>((row.d - base) / two_p);
    if (batches.search(row.p, base, two_p, offsets.data(), n, hits) != DeviceCollected::Done) {
      failures.push_back("opencl " + name_row(row) + ": " +
                         (device.failed() ? device.failure() : "more divisors than it returns"));
      break;
    }
    // Every planted lane comes back; any other offset must be a divisor.
    std::size_t planted_back = 0;
    for (const std::uint32_t hit : hits) {
      if (hit == row_offset) {
        ++planted_back;
      } else if (!divides_mersenne(row.p, base + two_p * hit)) {
        ++report.false_divisors;
        failures.push_back("opencl M" + std::to_string(row.p) + " d=" +
                           decimal(base + two_p * hit) + ": flagged as a divisor, which it is not");
      }
    }
    if (planted_back != layout.planted.size()) {
      failures.push_back("opencl " + name_row(row) + " (" + std::to_string(planted_back) + " of " +
                         std::to_string(layout.planted.size()) + " planted lanes flagged)");
    } else {
      ++report.found;
    }
  }
  return report;
}

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
  char start[32], end[32];
  std::snprintf(start, sizeof start, "%3.3f", std::floor(depth(d_low) * 1000) / 1000);
  std::snprintf(end, sizeof end, "%3.3f", std::ceil(depth(d_high) * 1000) / 1000);
  return std::to_string(p) + "\n" + std::to_string(k_first) + "\n" + decimal(d_low) + "\n" +
         decimal(d_high) + "\n" + start + "\n" + end + "\n";
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
                  "M" + std::to_string(row.p) + " has a factor: " + decimal(row.d))) {
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
  for (std::size_t i = 0; i < rows.size() && !interrupted(); ++i) {
    ++report.runs;
    if (const auto why = search_row(program, rows[i], i, nullptr)) {
      if (!interrupted()) failures.push_back("search " + name_row(rows[i]) + ": " + *why);
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

int run_selftest(bool quick, std::FILE* out) {
  const SignalGuard guard;
  const std::vector<SelftestRow> rows = selftest_rows();
  std::vector<std::string> failures;

  const std::vector<SelftestRow> tried = kernel_sample(rows, quick);
  for (const Kernel kernel : kAllKernels) {
    const KernelReport r = check_kernel(kernel, tried, failures);
    if (interrupted()) return 1;
    const std::string name = padded(kernel_name(kernel));
    if (!r.available) {
      std::fprintf(out, "%snot offered by this CPU\n", name.c_str());
    } else {
      std::fprintf(out, "%srows tried %5zu, found %5zu (d up to %u bits)", name.c_str(), r.tried,
                   r.found, kernel_max_bits(kernel));
      if (r.false_divisors > 0) std::fprintf(out, ", false divisors %zu", r.false_divisors);
      std::fputc('\n', out);
    }
    std::fflush(out);
  }

  const OpenClOffer offer = offered_opencl_device();
  if (offer.device == nullptr) {
    std::fprintf(out, "%snot offered: %s\n", padded("opencl").c_str(), offer.why.c_str());
    if (offer.fault) failures.push_back("opencl: " + offer.why);
  } else {
    const KernelReport r = check_opencl(*offer.device, tried, failures);
    if (interrupted()) return 1;
    std::fprintf(out, "%srows tried %5zu, found %5zu (d up to %u bits", padded("opencl").c_str(),
                 r.tried, r.found, OpenClDevice::kMaxBits);
    if (r.false_divisors > 0) std::fprintf(out, ", false divisors %zu", r.false_divisors);
    std::fprintf(out, ") on %s\n", offer.device->description().c_str());
  }
  std::fflush(out);

  const std::string program = beside_self("tamrisk");
  const std::vector<SelftestRow> searched = search_sample(rows, quick);
  const SearchReport s = check_search(program, searched, failures);
  if (interrupted()) return 1;
  std::fprintf(out, "%sruns %zu, found %zu (%d threads", padded("search").c_str(), s.runs, s.found,
               kSearchThreads);
  if (const char* forced = std::getenv("TAMRISK_KERNEL"); forced != nullptr && *forced != '\0') {
    std::fprintf(out, ", TAMRISK_KERNEL=%s", forced);
  }
  std::fputs(")\n", out);
  if (offer.device != nullptr && !offer.device->failed() && !searched.empty()) {
    // One search on the device: the run of a row in the middle of the sizes.
    const SelftestRow& row = searched[searched.size() / 2];
    const std::optional<std::string> why = search_row(program, row, 0, offer.device);
    if (why && !interrupted()) failures.push_back("opencl search " + name_row(row) + ": " + *why);
    if (interrupted()) return 1;
    std::fprintf(out, "%sruns 1, found %d (%d threads, %s=opencl:%u:%u)\n",
                 padded("search").c_str(), why ? 0 : 1, kSearchThreads, kDeviceVariable,
                 offer.device->platform_index(), offer.device->device_index());
  }

  if (failures.empty()) {
    std::fputs("selftest passed\n", out);
    std::fflush(out);
    return 0;
  }
  std::string verdict = "selftest FAILED: ";
  for (std::size_t i = 0; i < failures.size() && i < kFailuresNamed; ++i) {
    if (i > 0) verdict += "; ";
    verdict += failures[i];
  }
  if (failures.size() > kFailuresNamed) {
    verdict += "; and " + std::to_string(failures.size() - kFailuresNamed) + " more";
  }
  std::fprintf(out, "%s\n", verdict.c_str());
  std::fflush(out);
  return 1;
}

int selftest_interruption() { return g_signal; }
