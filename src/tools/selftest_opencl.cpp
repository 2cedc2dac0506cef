// SPDX-License-Identifier: MIT
#include "tools/selftest_opencl.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "core/cpu_tuning.h"
#include "gpu/device_request.h"
#include "gpu/opencl_batches.h"
#include "tools/selftest_signals.h"

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
  std::vector<u128> d(kKernelBatch);
  std::vector<std::uint32_t> offsets(kKernelBatch), hits;
  std::size_t serial = 0;
  OpenClBatches batches(device);
  for (const SelftestRow& row : rows) {
    if (selftest_interrupted()) break;
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
    for (std::size_t i = 0; i < n; ++i) {
      offsets[i] = static_cast<std::uint32_t>((d[i] - base) / two_p);
    }
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
      } else if (!divides_mersenne_number(row.p, base + two_p * hit)) {
        ++report.false_divisors;
        failures.push_back("opencl M" + std::to_string(row.p) + " d=" +
                           u128_decimal(base + two_p * hit) +
                           ": flagged as a divisor, which it is not");
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
