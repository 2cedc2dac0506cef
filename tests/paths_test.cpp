// SPDX-License-Identifier: MIT
// The fast path against the reference path: the same console output (but
// for the time figures), the same results.txt and the same checkpoints, on
// segments that bring every kernel and the integer library into play.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/big_int.h"
#include "core/run_state.h"
#include "kernels/kernels.h"
#include "search/backends.h"
#include "search/segment_loop.h"
#include "records/witnesses.h"
#include "tools/verify.h"
#include "core/candidate.h"
#include "sieve/prime_table.h"
#include "support/opencl.h"
#include "support/prime_table.h"
#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

struct SearchCase {
  const char* name;
  const char* p;
  const char* k_first;
  long count;          // values of k from k_first
  std::int32_t length; // segment length
  float end_bits;      // decides the sieving primes
};

struct Outcome {
  std::string console, results, status, witnesses;
};

// The witnesses' bits in these runs: 8, and the flags' as many on every
// path, so that short ranges hold some (a run keeps 16 and more).
constexpr unsigned kTestWitnessBits = 8;

Outcome search(const SearchCase& run, SearchPath path, int threads = 1,
               const DeviceRequest& device = DeviceRequest{DeviceRequest::Kind::Cpu},
               DeviceSieve sieve = DeviceSieve::OnDevice) {
  TempDir dir;
  const fs::path home = fs::current_path();
  fs::current_path(dir.path());
  RunState s;
  mpz_set_str(s.exponent, run.p, 10);
  mpz_mul_ui(s.two_p, s.exponent, 2);
  mpz_set_str(s.k_first, run.k_first, 10);
  mpz_mul(s.d, s.k_first, s.two_p);
  mpz_add_ui(s.d, s.d, 1);
  mpz_set_ui(s.d_low, 3);
  mpz_set_ui(s.d_high, 1000);
  s.end_bits = run.end_bits;
  mpz_set_si(s.full_segments, run.count / run.length);
  s.last_segment_size = static_cast<std::int32_t>(run.count % run.length);
  s.sieve_prime_count = sieve_prime_count_for(built_prime_table(), run.end_bits);
  WitnessRecord witnesses;
  mpz_set(witnesses.p, s.exponent);
  witnesses.bits = kTestWitnessBits;
  mpz_set(witnesses.k_first, s.k_first);
  mpz_add_ui(witnesses.k_end, s.k_first, static_cast<unsigned long>(run.count));
  mpz_sub_ui(witnesses.through, s.k_first, 1);
  testing::internal::CaptureStdout();
  const BackendChoice choice{path,   threads, device, sieve, kTestWitnessBits,
                             kTestWitnessBits};
  const std::unique_ptr<SegmentBackend> backend = make_backend(s, built_prime_table(), choice);
  run_segments(s, *backend, run.length, {}, &witnesses);
  Outcome out;
  out.console = mask_times(testing::internal::GetCapturedStdout());
  out.results = slurp("results.txt");
  out.status = slurp("status.txt");
  out.witnesses = slurp("witnesses.txt");
  fs::current_path(home);
  return out;
}

void PrintTo(const SearchCase& run, std::ostream* os) { *os << run.name; }

const SearchCase kRuns[] = {
    {"worked run", "11", "1", 46, 46, 10.0f},
    {"short segments", "11", "1", 46, 7, 10.0f},
    {"M37, factor 616318177 mid-segment", "37", "8328000", 3000, 1000, 20.0f},
    {"M71, three factors, three segments", "71", "1", 1600000, 600000, 20.0f},
    {"M67 near 2^28", "67", "1445000", 200000, 100000, 20.0f},
    {"32-bit exponent near 2^57", "3321928097", "31000000", 300000, 300000, 58.0f},
    {"across 2^64", "86249", "106938000000000", 200000, 200000, 20.0f},
    {"across 2^96", "86249", "459299020940905619687874", 100000, 100000, 20.0f},
    {"across 2^100", "86249", "7348600000000000000000000", 100000, 100000, 20.0f},
    {"across 2^124", "86249", "123292142126625549087299058283925", 100000, 100000, 20.0f},
    {"64-bit exponent", "18446744073709551557", "1000000000000", 100000, 100000, 20.0f},
    {"exponent beyond 64 bits", "618970019642690137449562111", "1", 20000, 20000, 20.0f},
    {"sieving prime as exponent", "1277", "1", 50000, 50000, 20.0f},
    // M11 = 23 * 89 at k = 1 and 4: one twentieth (5 offsets) holds both.
    {"two factors in one twentieth", "11", "1", 100, 100, 12.0f},
    // Not prime to 30 (only a resumed checkpoint can hold it): plain masks.
    {"p = 25 from a checkpoint", "25", "1", 250000, 100000, 24.0f},
    // The deeper sieve (primes above the plan's up to its bound) must strike
    // no divisor: factors q = 1 mod 2p of M(p) inside its range, and
    // composite divisors whose prime factors all lie above the plan's.
    {"M163: 150287 and 704161 inside the deeper range", "163", "1", 3000, 1000, 20.0f},
    {"M163: 150287 * 704161 (k 324620381)", "163", "324570381", 100000, 100000, 60.0f},
    {"M151: 55871 * 165799 (k 30673364)", "151", "30640000", 60000, 30000, 40.0f},
    {"M173: 730753 * 1505447, one beyond the deeper bound", "173", "3179480000", 60000,
     60000, 58.0f},
};


// Each run on the fast path under the automatic choice, the choice without
// AVX-512, and every available kernel forced (each where it is valid;
// elsewhere the automatic choice stands in), against one reference run.
class PathsByRun : public ::testing::TestWithParam<SearchCase> {};

TEST_P(PathsByRun, FastPathWritesWhatTheReferenceWrites) {
  std::vector<const char*> forcings = {nullptr, "portable"};
  for (Kernel k : kAllKernels) {
    // The names are string literals, so their views end in a NUL.
    if (kernel_available(k)) forcings.push_back(kernel_name(k).data());
  }
  const SearchCase& run = GetParam();
  const Outcome reference = search(run, SearchPath::Reference);
  // The reference's witnesses, each one recomputed: d prime, its residue
  // ending in the bits (an exponent beyond 64 bits has none flagged).
  {
    TempDir dir;
    std::ofstream(dir.path() / "witnesses.txt") << reference.witnesses;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int verdict = verify_witness_file((dir.path() / "witnesses.txt").string(), out, err);
    std::fclose(out);
    std::fclose(err);
    // The count check is a run's (S of 16 and up, so a few hundred): with 8
    // bits and these short ranges it may stray, so only the lines count.
    EXPECT_NE(verdict, 2) << reference.witnesses;
    WitnessRecord read;
    ASSERT_TRUE(read_witnesses((dir.path() / "witnesses.txt").string().c_str(), read, nullptr));
    BigInt two_p, k, d, r;
    const BigInt two(2);
    mpz_mul_ui(two_p, read.p, 2);
    for (const BigInt& w : read.ks) {
      candidate_at(k, d, w, two_p, 0);
      EXPECT_NE(mpz_probab_prime_p(d, 25), 0) << to_decimal(w);
      mpz_powm(r, two, read.p, d);
      EXPECT_GE(mpz_scan1(r, 0), kTestWitnessBits) << to_decimal(w);
    }
  }
  for (const char* value : forcings) {
    ScopedEnv forced("TAMRISK_KERNEL", value);
    // The automatic choice on 1 to 7 threads (segments shorter than the
    // threads among them), each forcing on three.
    const std::vector<int> thread_counts =
        value == nullptr ? std::vector<int>{1, 2, 3, 7} : std::vector<int>{3};
    for (const int threads : thread_counts) {
      const Outcome fast = search(run, SearchPath::Fast, threads);
      const std::string label = std::string("TAMRISK_KERNEL=") +
                                (value != nullptr ? value : "(unset)") + ", threads " +
                                std::to_string(threads);
      EXPECT_EQ(fast.console, reference.console) << label;
      EXPECT_EQ(fast.results, reference.results) << label;
      EXPECT_EQ(fast.status, reference.status) << label;
      EXPECT_EQ(fast.witnesses, reference.witnesses) << label;
    }
  }
  // On the OpenCL device: whole segments there, and the CPU's sieve with
  // the tests there, fed by one CPU thread and by three.
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  // The device takes the run when p is below 2^64 and its candidates below
  // 2^124; then it names itself on stderr.
  BigInt last;
  mpz_set_str(last, run.k_first, 10);
  mpz_add_ui(last, last, static_cast<unsigned long>(run.count));
  mpz_mul_ui(last, last, 2);
  BigInt p;
  mpz_set_str(p, run.p, 10);
  mpz_mul(last, last, p);
  const bool taken = mpz_fits_ulong_p(p) && mpz_sizeinbase(last, 2) <= OpenClDevice::kMaxBits;
  for (const auto& [sieve, threads] : {std::pair{DeviceSieve::OnDevice, 1},
                                       {DeviceSieve::OnCpu, 1}, {DeviceSieve::OnCpu, 3}}) {
    testing::internal::CaptureStderr();
    const Outcome fast = search(run, SearchPath::Fast, threads,
                                DeviceRequest{DeviceRequest::Kind::FirstOpenCl}, sieve);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string label = std::string("OpenCL, sieve on the ") +
                              (sieve == DeviceSieve::OnDevice ? "device" : "CPU") + ", threads " +
                              std::to_string(threads);
    EXPECT_EQ(fast.console, reference.console) << label;
    EXPECT_EQ(fast.results, reference.results) << label;
    EXPECT_EQ(fast.status, reference.status) << label;
    EXPECT_EQ(fast.witnesses, reference.witnesses) << label;
    EXPECT_EQ(err.find("testing on the CPU"), std::string::npos) << label << ": " << err;
    EXPECT_EQ(err.find("tamrisk: OpenCL device " + device->description() + "\n") == 0, taken)
        << label << ": " << err;
  }
}

// Test names from the runs' names: "M71, three factors" -> m71_three_factors.
std::string run_name(const ::testing::TestParamInfo<SearchCase>& info) {
  std::string out;
  for (const char* c = info.param.name; *c != '\0'; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

INSTANTIATE_TEST_SUITE_P(Segments, PathsByRun, ::testing::ValuesIn(kRuns), run_name);

TEST(Paths, KnownFactorsAreFoundOnTheFastPath) {
  // Factors from the public record of these numbers.
  struct Known {
    const char* p;
    const char* k_first;
    long count;
    const char* results;
  };
  const Known known[] = {
      {"37", "1", 9000000, "M37 has a factor: 223\nM37 has a factor: 616318177\n"},
      {"71", "1", 1600000,
       "M71 has a factor: 228479\nM71 has a factor: 48544121\nM71 has a factor: 212885833\n"},
      {"97", "1", 100, "M97 has a factor: 11447\n"},
      {"67", "5685360000", 200000, "M67 has a factor: 761838257287\n"},
  };
  for (const Known& k : known) {
    const SearchCase run{k.p, k.p, k.k_first, k.count, kSegmentK, 40.0f};
    EXPECT_EQ(search(run, SearchPath::Fast).results, k.results) << k.p;
  }
}

}  // namespace
