// SPDX-License-Identifier: MIT
#include "driver/run.h"

#include <cstdio>
#include <ctime>
#include <memory>

#include "driver/new_run.h"
#include "driver/plan.h"
#include "driver/witness_start.h"
#include "records/results.h"
#include "records/status.h"
#include "search/backends.h"
#include "search/segment_loop.h"
#include "sieve/prime_table.h"

namespace {

constexpr const char* kDescription =
    "(trial factoring of Mersenne numbers 2^p-1 by a sieve over d = 2kp+1)";

// Steps shared by new and resumed runs once the six values of the range are
// known: plan, prime table, search, closing records, total time.
int search_and_close(RunState& state, std::int32_t segment_length, int threads,
                     const DeviceRequest& device, DeviceSieve sieve, bool resumed) {
  plan_segments(state, segment_length);
  WitnessRecord witnesses = resumed ? resumed_run_witnesses(state, segment_length)
                                    : new_run_witnesses(state, segment_length);
  static SmallPrimeTable table;  // 100 KB: kept off the stack
  build_prime_table(table);
  state.sieve_prime_count = sieve_prime_count_for(table, state.end_bits);
  {
    const BackendChoice choice{SearchPath::Fast, threads, device, sieve};
    const std::unique_ptr<SegmentBackend> backend = make_backend(state, table, choice);
    run_segments(state, *backend, segment_length, {}, &witnesses);
  }

  if (state.factor_found == 0 &&
      !writeendfactor(state.exponent, state.start_bits, state.end_bits)) {
    state.record_failed = true;
  }

  std::putchar('\n');
  const double seconds = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
  std::printf("Total time   : %3.3f secs.", static_cast<double>(static_cast<float>(seconds)));
  std::putchar('\n');
  return state.record_failed ? 2 : 0;
}

}  // namespace

int run_new(std::int32_t segment_length, int threads, const DeviceRequest& device,
            DeviceSieve sieve) {
  RunState state;
  std::printf("\nTamrisk v. %s", kVersion);
  std::putchar('\n');
  std::fputs(kDescription, stdout);
  std::putchar('\n');
  if (read_new_run(state) != 0) return 1;
  set_bounds(state);
  return search_and_close(state, segment_length, threads, device, sieve, false);
}

int run_resumed(std::int32_t segment_length, int threads, const DeviceRequest& device,
                DeviceSieve sieve) {
  RunState state;
  std::printf("Tamrisk v. %s", kVersion);
  std::putchar('\n');
  std::fputs(kDescription, stdout);
  std::fflush(stdout);
  if (!readstatus(state)) return 1;
  mpz_mul_ui(state.two_p, state.exponent, 2);
  std::putchar('\n');
  gmp_printf("Resuming factoring of %Zd", state.exponent.get());
  std::printf(" up to %3.3f bit depth...", static_cast<double>(state.end_bits));
  std::putchar('\n');
  return search_and_close(state, segment_length, threads, device, sieve, true);
}
