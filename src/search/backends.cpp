// SPDX-License-Identifier: MIT
#include "search/backends.h"

#include <utility>

#include "search/cpu_backend.h"
#include "search/device_backend.h"
#include "search/device_use.h"
#include "search/reference_backend.h"
#include "sieve/fast_mask.h"

std::unique_ptr<SegmentBackend> make_backend(const RunState& state, const SmallPrimeTable& table,
                                             const BackendChoice& choice) {
  if (choice.path == SearchPath::Reference) {
    return std::make_unique<ReferenceBackend>(table, state.sieve_prime_count,
                                              choice.cpu_check_bits);
  }
  FastSieveContext context;
  prepare_fast_sieve(context, table, state.sieve_prime_count, state.exponent, kDeepSieveBound);
  auto cpu =
      std::make_unique<CpuBackend>(std::move(context), choice.threads, choice.cpu_check_bits);
  if (!wants_opencl(choice.device) || !opencl_device_offered(choice.device)) return cpu;
  if (choice.sieve == DeviceSieve::OnCpu) {
    cpu->test_on_device(choice.device, choice.device_check_bits);
    return cpu;
  }
  return std::make_unique<DeviceBackend>(choice.device, table, state.sieve_prime_count,
                                         state.exponent, std::move(cpu), choice.device_check_bits);
}
