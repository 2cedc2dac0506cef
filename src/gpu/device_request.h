// SPDX-License-Identifier: MIT
// Which device tests a run's candidates, as the variable TAMRISK_DEVICE
// asks: unset, the first OpenCL device of type GPU when there is one, else
// the CPU; "cpu", never a GPU; "opencl", the first OpenCL device of any type
// (an OpenCL that runs on the CPU counts); "opencl:P:D", device D of
// platform P, both counted from 0 as OpenCL lists them.
#pragma once

#include <optional>
#include <string_view>

inline constexpr const char* kDeviceVariable = "TAMRISK_DEVICE";

struct DeviceRequest {
  enum class Kind { Automatic, Cpu, FirstOpenCl, Indexed };
  Kind kind = Kind::Automatic;
  unsigned platform = 0;  // for Indexed
  unsigned device = 0;

  bool operator==(const DeviceRequest&) const = default;
};

// The request a value of TAMRISK_DEVICE stands for, or nullopt for anything
// else (empty, other words or cases, spaces, signs, more or fewer fields,
// indices of more than six digits).
std::optional<DeviceRequest> parse_device_request(std::string_view text);

// The request of this process's environment (Automatic when the variable is
// unset), or nullopt after one line on stderr naming the variable and its
// unusable value.
std::optional<DeviceRequest> run_device_request();
