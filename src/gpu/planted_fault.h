// SPDX-License-Identifier: MIT
// Faults planted in test builds of the OpenCL device (opencl_device.cpp
// compiled with TAMRISK_PLANTED_GPU_FAULT reads them from the variable
// TAMRISK_PLANTED_GPU_FAULT; never in the shipped program), a
// comma-separated list: after N launches (test batches or segments), the
// next ones fail ("fail:N"), never come back ("stall:N") or name a divisor
// that is none ("wrong:N"); "as-gpu" lets a default choice take a device of
// any type, as if it were a GPU; "slow" makes the device's own clock read a
// thousand times what it measures, as a device too weak to keep;
// "residue-zero:N" and "residue-random:N" make the kernels compute a wrong
// residue (0, or a value of its own) for one candidate in N; "noflags"
// makes them flag none (kernels.cl).
#pragma once

#include <cstdlib>
#include <string>

struct PlantedFault {
  enum class Kind { None, Fail, Stall, Wrong } kind = Kind::None;
  unsigned after = 0;
  bool as_gpu = false;
  bool slow = false;
  unsigned long residue_every = 0;  // one wrong residue in this many (0: none)
  bool residue_zero = false;        // and it is 0
  bool no_flags = false;
};

inline PlantedFault parse_planted_fault(const std::string& text) {
  PlantedFault fault;
  for (std::size_t from = 0; from <= text.size();) {
    std::size_t end = text.find(',', from);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(from, end - from);
    const std::size_t colon = item.find(':');
    const std::string kind = item.substr(0, colon);
    if (item == "as-gpu") {
      fault.as_gpu = true;
    } else if (item == "slow") {
      fault.slow = true;
    } else if (item == "noflags") {
      fault.no_flags = true;
    } else if (colon != std::string::npos &&
               (kind == "residue-zero" || kind == "residue-random")) {
      fault.residue_zero = kind == "residue-zero";
      fault.residue_every = std::strtoul(item.c_str() + colon + 1, nullptr, 10);
    } else if (colon != std::string::npos &&
               (kind == "fail" || kind == "stall" || kind == "wrong")) {
      fault.kind = kind == "fail"    ? PlantedFault::Kind::Fail
                   : kind == "stall" ? PlantedFault::Kind::Stall
                                     : PlantedFault::Kind::Wrong;
      fault.after = static_cast<unsigned>(std::strtoul(item.c_str() + colon + 1, nullptr, 10));
    }
    from = end + 1;
  }
  return fault;
}
