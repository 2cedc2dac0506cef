// SPDX-License-Identifier: MIT
#include "tools/selftest.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpu/device_request.h"

namespace {

constexpr std::size_t kFailuresNamed = 3;  // rows the verdict names

std::string padded(std::string_view name) {
  std::string s(name);
  s.resize(std::max<std::size_t>(s.size() + 1, 9), ' ');
  return s;
}

}  // namespace

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

int run_selftest(bool quick, std::FILE* out) {
  const SelftestSignals signals;
  const std::vector<SelftestRow> rows = selftest_rows();
  std::vector<std::string> failures;

  const std::vector<SelftestRow> tried = kernel_sample(rows, quick);
  for (const Kernel kernel : kAllKernels) {
    const KernelReport r = check_kernel(kernel, tried, failures);
    if (selftest_interrupted()) return 1;
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
    if (selftest_interrupted()) return 1;
    std::fprintf(out, "%srows tried %5zu, found %5zu (d up to %u bits", padded("opencl").c_str(),
                 r.tried, r.found, OpenClDevice::kMaxBits);
    if (r.false_divisors > 0) std::fprintf(out, ", false divisors %zu", r.false_divisors);
    std::fprintf(out, ") on %s\n", offer.device->description().c_str());
  }
  std::fflush(out);

  const std::string program = beside_self("tamrisk");
  const std::vector<SelftestRow> searched = search_sample(rows, quick);
  const SearchReport s = check_search(program, searched, failures);
  if (selftest_interrupted()) return 1;
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
    if (why && !selftest_interrupted()) {
      failures.push_back("opencl search " + name_row(row) + ": " + *why);
    }
    if (selftest_interrupted()) return 1;
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
