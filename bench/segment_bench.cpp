// SPDX-License-Identifier: MIT
// One segment on the reference path and on the fast path, timed in the same
// run: sieve seconds, test seconds, candidates tested per second and the
// ratio, for p = 86249 at 60 and 72 bits and p = 3321928097 at 68 bits; then
// the fast path on 1 and on T threads (wall and processor time, speed-up);
// then, where an OpenCL device is offered (TAMRISK_DEVICE; unset, a GPU
// when there is one), whole runs of --segments segments on the CPU, on the
// device (sieve and tests) and with the CPU's sieve feeding the device's
// tests, on T threads: raw k per second (every k of the range, sieved or
// not), tested candidates per second, the share of the run the device waited
// for the CPU, and the sieve's time per segment on the device beside the
// CPU's; primesieve's time for the primes below 10^10 where it is
// installed; then each exponentiation
// kernel's candidates per second by divisor size. Times are processor
// seconds unless marked wall. The walks' own console output is discarded.
//
//   segment_bench [--length N] [--fast-only] [--no-kernels] [--threads T]
//                 [--segments S] [--case P:DEPTH]...
//
// --case replaces the three cases by p from DEPTH bits (candidates of
// DEPTH + 1 bits), once per option.
// --length shortens the segment (default 1024000000 values of k) for a
// quick look; --fast-only skips the reference path (about half a minute per
// case at full length); --threads sets T (default: the CPUs this process may
// run on; 1 skips the comparison). The fast path takes its kernel as the
// program does, so TAMRISK_KERNEL forces one (TAMRISK_KERNEL=portable: the
// choice on a CPU without AVX-512); each case names the kernel used.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/plan.h"
#include "driver/threads.h"
#include "core/run_state.h"
#include "core/witness.h"
#include "gpu/device_request.h"
#include "gpu/opencl_device.h"
#include "search/segment_loop.h"
#include "search/reference_walk.h"
#include "search/backends.h"
#include "search/batch_tester.h"
#include "search/device_use.h"
#include "search/flag_check.h"
#include "sieve/sieve_segment.h"
#include "kernels/kernels.h"
#include "core/thread_team.h"
#include "sieve/candidate_mask.h"
#include "core/cpu_features.h"
#include "sieve/fast_mask.h"
#include "sieve/prime_table.h"
#include "sieve/small_primes.h"
#include "timing.h"

namespace {

// Sends standard output to /dev/null while alive; the figures go to `out`.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

struct Case {
  const char* p;
  float depth;
};

double wall_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timing {
  double sieve = 0, test = 0;
  double wall = 0;  // sieve and test together
  double serial = 0;  // fast path: the sieve's steps on one thread (start, count)
  std::int64_t tested = 0;
  // fast path: the residue witnesses' check (core/witness.h), every flag
  // recomputed with GMP as the CPU backend does, and the flags
  double witness = 0;
  std::size_t flags = 0;
};

// A run's state at the start of `depth` bits, with a segment of `length`.
void start_state(RunState& state, const SmallPrimeTable& table, const Case& c,
                 std::int32_t length) {
  mpz_set_str(state.exponent, c.p, 10);
  mpz_mul_ui(state.two_p, state.exponent, 2);
  state.start_bits = c.depth;
  state.end_bits = c.depth + 1.0f;
  set_bounds(state);
  plan_segments(state);
  state.segment_size = length;
  state.sieve_prime_count = sieve_prime_count_for(table, c.depth);
}

// Times sieve() (which returns the marked count) and then test(), with the
// walk's console output discarded.
template <typename Sieve, typename Test>
Timing time_stages(std::int32_t length, Sieve sieve, Test test) {
  Timing t;
  QuietStdout quiet;
  const double w0 = wall_seconds();
  const double t0 = cpu_seconds();
  const std::int64_t marked = sieve();
  const double t1 = cpu_seconds();
  test();
  const double t2 = cpu_seconds();
  t.wall = wall_seconds() - w0;
  t.sieve = t1 - t0;
  t.test = t2 - t1;
  t.tested = length - marked;
  return t;
}

Timing run_reference(const SmallPrimeTable& table, const Case& c, std::int32_t length) {
  RunState state;
  start_state(state, table, c, length);
  static CandidateWindow window;
  BigInt mask, first;
  mpz_mul(first, state.k_first, state.two_p);
  mpz_add_ui(first, first, 1);
  return time_stages(
      length,
      [&] {
        build_candidate_mask(window, mask, first, state.two_p, length);
        mark_small_primes(table, state.sieve_prime_count, window, mask, length);
        return count_marked(mask, length);
      },
      [&] { test_segment(state, mask); });
}

// --blocks SMALL,LARGE[,LIMIT]: the sieve's blocks (bits) and the primes
// below LIMIT in the small ones, instead of what the caches give.
struct Blocks {
  std::int64_t small = 0, large = 0, limit = 0;
};
Blocks g_blocks;

Timing run_fast(const SmallPrimeTable& table, const Case& c, std::int32_t length,
                int threads = 1) {
  RunState state;
  start_state(state, table, c, length);
  FastSieveContext context;
  prepare_fast_sieve(context, table, state.sieve_prime_count, state.exponent, kDeepSieveBound);
  if (g_blocks.small > 0) {
    context.small_block_bits = g_blocks.small;
    context.block_bits = g_blocks.large;
    set_small_prime_limit(context, static_cast<std::uint32_t>(
                                       g_blocks.limit > 0 ? g_blocks.limit : g_blocks.small / 4));
  }
  static FastMask mask;
  ThreadTeam team(threads);  // made before the clock starts, as a run makes it once
  const SegmentPlan plan(state, state.k_first, length);
  std::vector<std::int64_t> flagged;
  // A run's segments after the first find the mask's memory in place: so
  // does the timed one (the first touch of the lanes is not sieve work).
  sieve_segment(mask, context, state.k_first, length, team);
  double serial = 0;
  Timing t = time_stages(
      length, [&] { return sieve_segment(mask, context, state.k_first, length, team); },
      [&] {
        // The chunks' tests as the CPU backend runs them, several a round
        // on a large team, each flagging as in a run.
        CpuChunkTests tests(plan.candidates, team.size(), kCpuCheckBits);
        const std::size_t per_round =
            std::max<std::size_t>(1, static_cast<std::size_t>(threads / kMembersPerChunk));
        for (std::size_t c = 0; c < plan.chunks.size(); c += per_round) {
          const std::size_t last = std::min(plan.chunks.size(), c + per_round) - 1;
          const RangeTests found =
              tests.run(mask, plan.chunks[c].first, plan.chunks[last].second, team);
          flagged.insert(flagged.end(), found.flagged.begin(), found.flagged.end());
        }
      });
  // The check of the flags, timed on its own: each residue recomputed with
  // GMP (the CPU backend's check; the rare ones that also end in S_p zero
  // bits get a primality test besides, not counted here).
  const double w0 = cpu_seconds();
  BigInt r;
  for (const std::int64_t offset : flagged) plan.candidates.residue(r, offset);
  t.witness = cpu_seconds() - w0;
  t.flags = flagged.size();
  // The steps of a segment that run on one thread whatever T is, timed
  // once more on their own: the sieve on one share, less the time spent in
  // the share's work (the first multiples, the lanes' marks, the deeper
  // marks), leaves the layout and the plain head and tail, the count's
  // edges, and the last clear offset of each twentieth.
  double in_share = 0;
  const double s0 = cpu_seconds();
  sieve_segment_in_shares(mask, context, state.k_first, length, 1,
                          [&](const std::function<void(int)>& job) {
                            const double j0 = cpu_seconds();
                            job(0);
                            in_share += cpu_seconds() - j0;
                          });
  serial = cpu_seconds() - s0 - in_share;
  t.serial = std::max(serial, 0.0);
  return t;
}

// A whole run of `segments` segments of `length` from the case's depth, in
// a temporary directory (its checkpoints and records are written as a run
// writes them), tested on the device the request names: wall seconds and
// the candidates tested.
struct RunFigures {
  double wall = 0, device_busy = 0;
  std::int64_t k = 0, tested = 0;
};

RunFigures run_whole(const SmallPrimeTable& table, const Case& c, std::int32_t length,
                     int segments, int threads, const DeviceRequest& device,
                     DeviceSieve sieve = DeviceSieve::OnDevice) {
  RunState state;
  start_state(state, table, c, length);
  mpz_set_si(state.full_segments, segments);
  state.last_segment_size = 0;
  char dir[] = "/tmp/segment_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return {};
  char home[4096];
  if (getcwd(home, sizeof home) == nullptr || chdir(dir) != 0) return {};
  std::int64_t tested = 0;
  RunFigures f;
  {
    QuietStdout quiet;
    const double w0 = wall_seconds();
    const std::unique_ptr<SegmentBackend> backend =
        make_backend(state, table, BackendChoice{SearchPath::Fast, threads, device, sieve});
    run_segments(state, *backend, length);
    f.wall = wall_seconds() - w0;
  }
  // The candidates tested: the clear ones, sieved once more on their own.
  FastSieveContext context;
  prepare_fast_sieve(context, table, state.sieve_prime_count, state.exponent, kDeepSieveBound);
  static FastMask mask;
  ThreadTeam team(threads);
  BigInt k;
  mpz_set(k, state.k_first);
  mpz_sub_ui(k, k, static_cast<unsigned long>(length) * static_cast<unsigned long>(segments));
  for (int i = 0; i < segments; ++i) {
    sieve_segment(mask, context, k, length, team);
    tested += length - fast_count_marked(mask);
    mpz_add_ui(k, k, static_cast<unsigned long>(length));
  }
  unlink("status.txt");
  unlink("results.txt");
  if (chdir(home) != 0 || rmdir(dir) != 0) std::fprintf(stderr, "segment_bench: %s left\n", dir);
  f.k = static_cast<std::int64_t>(length) * segments;
  f.tested = tested;
  return f;
}

// Wall seconds of one round of a team of `threads` with nothing to do.
double barrier_seconds(int threads) {
  ThreadTeam team(threads);
  for (int i = 0; i < 100; ++i) team.run([](int) {});
  const int rounds = 2000;
  const double w0 = wall_seconds();
  for (int i = 0; i < rounds; ++i) team.run([](int) {});
  return (wall_seconds() - w0) / rounds;
}

void print_row(const char* path, const Timing& t) {
  const double total = t.sieve + t.test;
  std::printf("  %-9s sieve %8.3f s   test %8.3f s   total %8.3f s   %12.0f candidates/s\n",
              path, t.sieve, t.test, total, t.test > 0 ? static_cast<double>(t.tested) / t.test : 0);
}

// The witness check beside the fast path's segment.
void print_witness_check(const Timing& t) {
  const double total = t.sieve + t.test;
  std::printf("  witness check %7.4f s for %zu flags (1 in 2^%u tested): %.2f %% of the segment\n",
              t.witness, t.flags, kCpuCheckBits, total > 0 ? 100 * t.witness / total : 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::int32_t length = kSegmentK;
  bool reference = true, kernels = true;
  int threads = usable_cpus();
  int segments = 3;
  std::vector<Case> chosen;
  std::vector<std::string> chosen_p;  // the exponents' text, which chosen points into
  chosen_p.reserve(static_cast<std::size_t>(argc));
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--length") == 0 && i + 1 < argc) {
      length = static_cast<std::int32_t>(std::strtol(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--fast-only") == 0) {
      reference = false;
    } else if (std::strcmp(argv[i], "--no-kernels") == 0) {
      kernels = false;
    } else if (std::strcmp(argv[i], "--blocks") == 0 && i + 1 < argc) {
      long long small = 0, large = 0, limit = 0;
      if (std::sscanf(argv[++i], "%lld,%lld,%lld", &small, &large, &limit) < 2 || small < 64 ||
          large < small || small % 64 != 0 || large % 64 != 0) {
        std::fprintf(stderr, "segment_bench: --blocks takes SMALL,LARGE[,LIMIT] in bits, "
                             "multiples of 64, SMALL <= LARGE\n");
        return 1;
      }
      g_blocks = {small, large, limit};
    } else if (std::strcmp(argv[i], "--segments") == 0 && i + 1 < argc) {
      segments = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
      if (segments < 1 || segments > 1000) {
        std::fprintf(stderr, "segment_bench: --segments must lie in 1..1000\n");
        return 1;
      }
    } else if (std::strcmp(argv[i], "--case") == 0 && i + 1 < argc) {
      const std::string text = argv[++i];
      const std::size_t colon = text.find(':');
      char* end = nullptr;
      const double depth = colon == std::string::npos ? 0 : std::strtod(text.c_str() + colon + 1, &end);
      if (colon == std::string::npos || colon == 0 ||
          text.find_first_not_of("0123456789") != colon || end == nullptr || *end != '\0' ||
          !(depth >= 2 && depth <= 123)) {
        std::fprintf(stderr, "segment_bench: --case takes P:DEPTH (a prime p, a start depth "
                             "from 2 to 123 bits)\n");
        return 1;
      }
      chosen_p.push_back(text.substr(0, colon));
      chosen.push_back({chosen_p.back().c_str(), static_cast<float>(depth)});
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      const std::optional<int> count = parse_thread_count(argv[++i]);
      if (!count) {
        std::fprintf(stderr, "segment_bench: --threads must be a whole number from 1 to %d\n",
                     kMaxThreads);
        return 1;
      }
      threads = *count;
    } else {
      std::fprintf(stderr,
                   "usage: segment_bench [--length N] [--fast-only] [--no-kernels] [--threads T]"
                   " [--segments S] [--blocks SMALL,LARGE[,LIMIT]] [--case P:DEPTH]...\n");
      return 1;
    }
  }
  if (length <= 0 || length > kSegmentK) {
    std::fprintf(stderr, "segment_bench: --length must lie in 1..%d\n", kSegmentK);
    return 1;
  }

  static SmallPrimeTable table;
  build_prime_table(table);
  const std::vector<Case> cases =
      !chosen.empty() ? chosen
                      : std::vector<Case>{{"86249", 60.0f}, {"86249", 72.0f}, {"3321928097", 68.0f}};
  {
    FastSieveContext probe;
    prepare_fast_sieve(probe, table, 6879, BigInt(86249), 0);
    const CacheSizes caches = cache_sizes();
    std::printf("Caches: L1 data %lld KiB, L2 %lld KiB; sieve blocks of %lld and %lld bits%s\n",
                static_cast<long long>(caches.l1_data / 1024),
                static_cast<long long>(caches.l2 / 1024),
                static_cast<long long>(g_blocks.small > 0 ? g_blocks.small : probe.small_block_bits),
                static_cast<long long>(g_blocks.small > 0 ? g_blocks.large : probe.block_bits),
                g_blocks.small > 0 ? " (--blocks)" : "");
  }
  std::printf("One segment of %d values of k (processor seconds)\n", length);
  for (const Case& c : cases) {
    // Candidates from 2^depth up have depth + 1 bits; the walk's choice.
    std::printf("p = %s at %.0f bits (kernel %s)\n", c.p, static_cast<double>(c.depth),
                std::string(kernel_name(choose_kernel(static_cast<unsigned>(c.depth) + 1))).c_str());
    std::fflush(stdout);
    const Timing fast = run_fast(table, c, length);
    if (reference) {
      const Timing ref = run_reference(table, c, length);
      print_row("reference", ref);
      print_row("fast", fast);
      print_witness_check(fast);
      std::printf("  ratio     sieve %7.1fx   test %7.1fx   total %7.1fx%s\n", ref.sieve / fast.sieve,
                  ref.test / fast.test, (ref.sieve + ref.test) / (fast.sieve + fast.test),
                  ref.tested == fast.tested ? "" : "   (candidate counts differ!)");
    } else {
      print_row("fast", fast);
      print_witness_check(fast);
    }
    if (threads > 1) {
      const Timing many = run_fast(table, c, length, threads);
      std::printf("  threads   1: wall %8.3f s  processor %8.3f s\n", fast.wall,
                  fast.sieve + fast.test);
      std::printf("  threads %3d: wall %8.3f s  processor %8.3f s   sieve %8.3f s  test %8.3f s\n",
                  threads, many.wall, many.sieve + many.test, many.sieve, many.test);
      std::printf("  speed-up %.2fx (wall %.2f of one thread's), processor time %.2fx one thread's\n",
                  fast.wall / many.wall, many.wall / fast.wall,
                  (many.sieve + many.test) / (fast.sieve + fast.test));
      std::printf("  serial steps of the sieve (start, count): %.4f s of the one-thread %.3f s\n",
                  fast.serial, fast.wall);
      // Amdahl's projection from the one-thread segment: its serial steps,
      // the rest shared, and each round of the team (three for the sieve,
      // one for every chunks a round test) a barrier whose cost, measured
      // here on T threads, is taken to grow with the members.
      const double barrier = barrier_seconds(threads);
      std::printf("  projected speed-up (serial %.3f ms, %.1f %% of one thread; barrier %.1f us on"
                  " %d threads):",
                  fast.serial * 1e3, 100 * fast.serial / fast.wall, barrier * 1e6, threads);
      for (const int t : {16, 64, 192}) {
        const int per_round = std::max(1, t / 4);
        const int rounds = 3 + (20 + per_round - 1) / per_round;
        const double tail = fast.serial + rounds * barrier * t / threads;
        std::printf("  %d: %.1fx", t, fast.wall / (tail + (fast.wall - fast.serial) / t));
      }
      std::printf("\n");
    }
    std::fflush(stdout);
  }

  // A yardstick for the sieve where it is installed: primesieve (Debian's
  // primesieve-bin) over the primes below 10^10 on one thread, which lays
  // about 2.2 * 10^9 marks; its seconds beside the sieve's above.
  if (std::FILE* yardstick = popen("primesieve 1e10 -t1 --time 2>/dev/null", "r")) {
    char line[256];
    double seconds = -1;
    while (std::fgets(line, sizeof line, yardstick) != nullptr) {
      const char* at = std::strstr(line, "Seconds: ");
      if (at != nullptr) seconds = std::atof(at + 9);
    }
    if (pclose(yardstick) == 0 && seconds > 0) {
      std::printf("\nprimesieve 1e10 -t1: %.3f s, about %.2f ns a mark (2.2e9 marks)\n", seconds,
                  seconds * 1e9 / 2.2e9);
    }
  }

  const std::optional<DeviceRequest> request = run_device_request();
  if (!request) return 1;
  std::string why;
  OpenClDevice* device = wants_opencl(*request) ? shared_opencl_device(*request, &why) : nullptr;
  if (device == nullptr) {
    std::printf("\nOpenCL: no device (%s)\n",
                !wants_opencl(*request) ? "TAMRISK_DEVICE or TAMRISK_KERNEL keeps the CPU"
                : why.empty()           ? "no GPU found; TAMRISK_DEVICE=opencl takes any device"
                                        : why.c_str());
  } else {
    std::printf("\nWhole runs of %d segments, %d threads: on the CPU; on OpenCL device %s,\n"
                "the sieve there too (opencl) or on the CPU (chunks)\n",
                segments, threads, device->description().c_str());
    for (const Case& c : cases) {
      std::printf("p = %s at %.0f bits\n", c.p, static_cast<double>(c.depth));
      std::fflush(stdout);
      const RunFigures cpu =
          run_whole(table, c, length, segments, threads, DeviceRequest{DeviceRequest::Kind::Cpu});
      device->take_busy_seconds();
      device->take_sieve_seconds();
      const RunFigures gpu = run_whole(table, c, length, segments, threads, *request);
      const double busy = device->take_busy_seconds(), sieve = device->take_sieve_seconds();
      const RunFigures chunks =
          run_whole(table, c, length, segments, threads, *request, DeviceSieve::OnCpu);
      const double chunk_busy = device->take_busy_seconds();
      const struct {
        const char* name;
        const RunFigures& f;
        double busy;
      } rows[] = {{"cpu", cpu, 0}, {"opencl", gpu, busy}, {"chunks", chunks, chunk_busy}};
      for (const auto& row : rows) {
        std::printf("  %-7s wall %8.3f s   %10.4g k/s raw   %10.4g tested/s", row.name, row.f.wall,
                    row.f.wall > 0 ? static_cast<double>(row.f.k) / row.f.wall : 0,
                    row.f.wall > 0 ? static_cast<double>(row.f.tested) / row.f.wall : 0);
        if (row.busy > 0) {
          std::printf("   device busy %.3f s, waiting for the CPU %.0f %% of the run", row.busy,
                      100.0 * std::max(0.0, 1.0 - row.busy / row.f.wall));
        }
        std::printf("\n");
      }
      std::printf("  sieve a segment: %.4f s on the device, %.4f s processor time on the CPU"
                  " (one thread, the fast path above)\n",
                  sieve / segments, run_fast(table, c, length).sieve);
      std::printf("  opencl / cpu: %.2fx the raw k per second; chunks / cpu: %.2fx\n",
                  cpu.wall / gpu.wall, cpu.wall / chunks.wall);
      {
        // The CPU's check of the device's flags (one tested candidate in
        // 2^kDeviceCheckBits, each residue recomputed by the fastest CPU
        // kernel): timed on as many candidates of the case's segment.
        RunState state;
        start_state(state, table, c, length);
        const SegmentCandidates candidates(state.exponent, state.two_p, state.k_first, length);
        const std::int64_t per_segment = gpu.tested / segments;
        std::vector<std::uint32_t> flagged;
        for (std::int64_t i = 0; i < (per_segment >> kDeviceCheckBits); ++i) {
          flagged.push_back(static_cast<std::uint32_t>(i * (length / std::max<std::int64_t>(
                                                                 1, per_segment >> kDeviceCheckBits))));
        }
        std::vector<Flag> checked;
        const double w0 = cpu_seconds();
        if (candidates.native) check_flags(candidates, flagged, 0, checked);
        const double check = cpu_seconds() - w0;
        std::printf("  witness check on the CPU: %.4f s for %zu flags a segment (1 in 2^%u tested):"
                    " %.2f %% of the device's segment\n",
                    check, flagged.size(), kDeviceCheckBits,
                    gpu.wall > 0 ? 100 * check / (gpu.wall / segments) : 0);
      }
      if (device->failed()) std::printf("  the device failed: %s\n", device->failure().c_str());
      std::fflush(stdout);
    }
  }

  if (!kernels) return 0;
  std::printf("\nKernels: candidates per second (ns per candidate) by divisor size\n");
  const unsigned sizes[] = {40, 52, 60, 64, 68, 72, 76, 80, 90, 100, 120};
  for (const std::uint64_t p : {std::uint64_t{86249}, std::uint64_t{3321928097}}) {
    for (const Kernel kernel : kAllKernels) {
      if (!kernel_available(kernel)) continue;
      std::printf("p = %-10llu %-8s", static_cast<unsigned long long>(p),
                  std::string(kernel_name(kernel)).c_str());
      for (const unsigned bits : sizes) {
        if (bits > kernel_max_bits(kernel) || bits >= 128) continue;
        const double rate = 1e9 / kernel_ns(kernel, p, bits, 0.2);
        std::printf("  %u: %.3g (%.1f ns)", bits, rate, 1e9 / rate);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  return 0;
}
