// SPDX-License-Identifier: MIT
#include "gpu/device_request.h"

#include <cstdio>
#include <cstdlib>

namespace {

// A device or platform index: one to six decimal digits.
std::optional<unsigned> parse_index(std::string_view text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

}  // namespace

std::optional<DeviceRequest> parse_device_request(std::string_view text) {
  using Kind = DeviceRequest::Kind;
  if (text == "cpu") return DeviceRequest{Kind::Cpu};
  if (text == "opencl") return DeviceRequest{Kind::FirstOpenCl};
  constexpr std::string_view prefix = "opencl:";
  if (!text.starts_with(prefix)) return std::nullopt;
  text.remove_prefix(prefix.size());
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<unsigned> platform = parse_index(text.substr(0, colon));
  const std::optional<unsigned> device = parse_index(text.substr(colon + 1));
  if (!platform || !device) return std::nullopt;
  return DeviceRequest{Kind::Indexed, *platform, *device};
}

std::optional<DeviceRequest> run_device_request() {
  const char* value = std::getenv(kDeviceVariable);
  if (value == nullptr) return DeviceRequest{};
  const std::optional<DeviceRequest> request = parse_device_request(value);
  if (!request) {
    std::fprintf(stderr, "%s: '%s' is not cpu, opencl or opencl:PLATFORM:DEVICE\n", kDeviceVariable,
                 value);
  }
  return request;
}
