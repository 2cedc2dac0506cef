// One segment on the reference path and on the fast path, timed in the same
// run: sieve seconds, test seconds, candidates tested per second and the
// ratio, for p = 86249 at 60 and 72 bits and p = 3321928097 at 68 bits; then
// each exponentiation kernel's candidates per second by divisor size.
// Times are processor seconds. The walks' own console output is discarded.
//
//   segment_bench [--length N] [--fast-only] [--no-kernels]
//
// --length shortens the segment (default 1024000000 values of k) for a
// quick look; --fast-only skips the reference path (about half a minute per
// case at full length). The fast path takes its kernel as the program does,
// so TAMRISK_KERNEL forces one (TAMRISK_KERNEL=portable: the choice on a CPU
// without AVX-512); each case names the kernel used.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "driver/plan.h"
#include "driver/run_state.h"
#include "search/candidate_test.h"
#include "search/fast_walk.h"
#include "search/kernels.h"
#include "sieve/candidate_mask.h"
#include "sieve/fast_mask.h"
#include "sieve/prime_table.h"
#include "sieve/small_primes.h"

namespace {

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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

struct Timing {
  double sieve = 0, test = 0;
  std::int64_t tested = 0;
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
  const double t0 = cpu_seconds();
  const std::int64_t marked = sieve();
  const double t1 = cpu_seconds();
  test();
  const double t2 = cpu_seconds();
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

Timing run_fast(const SmallPrimeTable& table, const Case& c, std::int32_t length) {
  RunState state;
  start_state(state, table, c, length);
  FastSieveContext context;
  prepare_fast_sieve(context, table, state.sieve_prime_count, state.exponent);
  static FastMask mask;
  return time_stages(
      length,
      [&] {
        build_fast_mask(mask, context, state.k_first, length);
        return fast_count_marked(mask);
      },
      [&] { test_segment_fast(state, mask); });
}

void print_row(const char* path, const Timing& t) {
  const double total = t.sieve + t.test;
  std::printf("  %-9s sieve %8.3f s   test %8.3f s   total %8.3f s   %12.0f candidates/s\n",
              path, t.sieve, t.test, total, t.test > 0 ? static_cast<double>(t.tested) / t.test : 0);
}

// Candidates per second of one kernel on candidates 2kp + 1 of `bits` bits.
double kernel_rate(Kernel kernel, std::uint64_t p, unsigned bits) {
  constexpr std::size_t kBatch = 4096;
  const u128 two_p = 2 * static_cast<u128>(p);
  u128 k = ((static_cast<u128>(1) << (bits - 1)) + two_p - 1) / two_p;
  std::vector<u128> d(kBatch);
  for (u128& v : d) {
    v = two_p * k + 1;
    k += 3;
  }
  std::vector<std::uint8_t> flags(kBatch);
  std::size_t done = 0;
  const double t0 = cpu_seconds();
  double t1 = t0;
  while (t1 - t0 < 0.2) {
    divides_batch(kernel, p, d.data(), kBatch, flags.data());
    done += kBatch;
    t1 = cpu_seconds();
  }
  return static_cast<double>(done) / (t1 - t0);
}

}  // namespace

int main(int argc, char** argv) {
  std::int32_t length = kSegmentK;
  bool reference = true, kernels = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--length") == 0 && i + 1 < argc) {
      length = static_cast<std::int32_t>(std::strtol(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--fast-only") == 0) {
      reference = false;
    } else if (std::strcmp(argv[i], "--no-kernels") == 0) {
      kernels = false;
    } else {
      std::fprintf(stderr, "usage: segment_bench [--length N] [--fast-only] [--no-kernels]\n");
      return 1;
    }
  }
  if (length <= 0 || length > kSegmentK) {
    std::fprintf(stderr, "segment_bench: --length must lie in 1..%d\n", kSegmentK);
    return 1;
  }

  static SmallPrimeTable table;
  build_prime_table(table);
  const Case cases[] = {{"86249", 60.0f}, {"86249", 72.0f}, {"3321928097", 68.0f}};
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
      std::printf("  ratio     sieve %7.1fx   test %7.1fx   total %7.1fx%s\n", ref.sieve / fast.sieve,
                  ref.test / fast.test, (ref.sieve + ref.test) / (fast.sieve + fast.test),
                  ref.tested == fast.tested ? "" : "   (candidate counts differ!)");
    } else {
      print_row("fast", fast);
    }
    std::fflush(stdout);
  }

  if (!kernels) return 0;
  std::printf("\nKernels: candidates per second (ns per candidate) by divisor size\n");
  const unsigned sizes[] = {40, 52, 60, 64, 68, 72, 76, 90, 100, 120};
  for (const std::uint64_t p : {std::uint64_t{86249}, std::uint64_t{3321928097}}) {
    for (const Kernel kernel : kAllKernels) {
      if (!kernel_available(kernel)) continue;
      std::printf("p = %-10llu %-8s", static_cast<unsigned long long>(p),
                  std::string(kernel_name(kernel)).c_str());
      for (const unsigned bits : sizes) {
        if (bits > kernel_max_bits(kernel) || bits >= 128) continue;
        const double rate = kernel_rate(kernel, p, bits);
        std::printf("  %u: %.3g (%.1f ns)", bits, rate, 1e9 / rate);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  return 0;
}
