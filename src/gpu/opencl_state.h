// SPDX-License-Identifier: MIT
// What the OpenCL device's two source files share (opencl_device.cpp: the
// device and the search's batches; opencl_sieve.cpp: whole segments): the
// OpenCL objects behind an OpenClDevice, and the helpers both use. Not for
// any other file.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/exponent_split.h"
#include "gpu/opencl_api.h"
#include "gpu/opencl_device.h"

namespace opencl_internal {


// A batch that has not come back after this long counts as lost: the
// largest batch of the slowest device takes seconds.
constexpr std::chrono::seconds kBatchTimeout{300};

// The limbs a kernel works on for candidates of up to max_bits bits.
inline unsigned limbs_for(unsigned max_bits) { return max_bits <= 92 ? 3 : 4; }

// The exponent's split for the kernel: its leading bits up to a value lead
// are consumed by the start, which costs a step of at most 16 bits (about
// half a squaring) per 16 bits of lead + 32 limbs - (b - 1); each further
// bit costs a squaring. The cheapest over leads up to 2^12.
inline ExponentSplit choose_split(std::uint64_t p, unsigned limbs, unsigned min_bits) {
  ExponentSplit best = split_exponent(p, 1);
  double best_cost = 1e300;
  for (std::uint64_t cap = 1; cap <= 4096; cap *= 2) {
    const ExponentSplit s = split_exponent(p, cap);
    const double start_bits = static_cast<double>(s.lead) + 32.0 * limbs - (min_bits - 1.0);
    const double cost = s.rest + 0.5 * std::ceil(start_bits / 16.0);
    if (cost < best_cost) {
      best_cost = cost;
      best = s;
    }
  }
  return best;
}

inline std::uint32_t limb(u128 x, unsigned j) { return static_cast<std::uint32_t>(x >> (32 * j)); }

inline std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ' || s.back() == '\n')) s.pop_back();
  const std::size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

// The planted faults of a test build, a comma-separated list: after N
// launches of the search's batches, the next ones fail ("fail:N"), never
// come back ("stall:N") or name the first candidate of their batch as a
// divisor too ("wrong:N"); "as-gpu" lets a default choice take a device of
// any type, as if it were a GPU; "slow" makes the device's own clock read a
// thousand times what it measures, as a device too weak to keep.
struct PlantedFault {
  enum class Kind { None, Fail, Stall, Wrong } kind = Kind::None;
  unsigned after = 0;
  bool as_gpu = false;
  bool slow = false;
};

inline PlantedFault planted_fault() {
  PlantedFault fault;
#ifdef TAMRISK_PLANTED_GPU_FAULT
  if (const char* value = std::getenv("TAMRISK_PLANTED_GPU_FAULT")) {
    std::string text = value;
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
      } else if (colon != std::string::npos &&
                 (kind == "fail" || kind == "stall" || kind == "wrong")) {
        fault.kind = kind == "fail"    ? PlantedFault::Kind::Fail
                     : kind == "stall" ? PlantedFault::Kind::Stall
                                       : PlantedFault::Kind::Wrong;
        fault.after = static_cast<unsigned>(std::strtoul(item.c_str() + colon + 1, nullptr, 10));
      }
      from = end + 1;
    }
  }
#endif
  return fault;
}

}  // namespace opencl_internal

struct OpenClDevice::State {
  using PlantedFault = opencl_internal::PlantedFault;
  const OpenClApi* cl = nullptr;
  cl_device_id device = nullptr;
  std::string description;
  unsigned platform_index = 0, device_index = 0;
  bool gpu = false;
  std::size_t max_alloc = 0;
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel search[2] = {nullptr, nullptr};  // three and four limbs
  cl_kernel residue[2] = {nullptr, nullptr};
  std::size_t group[2] = {1, 1};  // work-group size of search3, search4

  struct Slot {
    cl_mem staging = nullptr;  // host memory the offsets are written into
    std::uint32_t* host = nullptr;
    cl_mem offsets = nullptr;  // the same on the device
    std::size_t capacity = 0;
    cl_mem found = nullptr;  // count, then the divisors' offsets
    std::vector<std::uint32_t> found_host;
    std::vector<cl_event> events;  // copy in, count reset, kernel, copy out (the last is waited on)
    cl_event kernel_event = nullptr;  // the kernel's, among them
    bool stall = false;               // planted: this batch never comes back
    bool wrong = false;               // planted: it names its first candidate too
  };
  Slot slots[kSlots];

  // The segment's sieve (opencl_sieve.cpp): its kernels, the run's primes
  // (uint4: q, p mod q, (2p)^-1 and 60^-1 mod q; the plan's, then the
  // deeper ones; those below the block size come first), and per slot the
  // segment's buffers and what is read back.
  enum SieveKernel { kStarts, kBlock, kScatter, kCount, kLast, kCompact, kSieveKernels };
  cl_kernel sieve[kSieveKernels] = {};
  cl_kernel search_list[2] = {nullptr, nullptr};
  cl_uint compute_units = 1;
  cl_ulong local_memory = 0;
  cl_mem sieve_primes = nullptr;
  std::uint32_t plans = 0, by_word = 0, block_primes = 0, all_primes = 0;
  std::vector<std::uint32_t> sieve_q;  // the primes of the table, in its order
  struct SieveSlot {
    // Device buffers, each with its size in bytes.
    struct Buffer {
      cl_mem mem = nullptr;
      std::size_t bytes = 0;
    };
    Buffer bits, starts, regions, blocks, chunks, counts, last, offsets, found;
    // The tables as written (the writes read them after the call returns).
    std::vector<cl_int> region_table, block_table, chunk_table, last_init;
    std::vector<cl_uint> counts_host, found_host;
    std::vector<cl_int> last_host;
    std::vector<cl_event> events;    // the last is waited on
    std::size_t sieve_events = 0;    // the first ones: the sieve's
    std::int64_t pattern_marks = 0;  // (60 - 16) per period, in no region
    std::size_t region_count = 0, block_count = 0, offsets_capacity = 0;
    OpenClDevice::SegmentJob job;  // for a test again in windows
    bool stall = false, wrong = false;
  };
  SieveSlot sieve_slots[kSlots];

  PlantedFault fault = opencl_internal::planted_fault();
  unsigned launches = 0;
  bool failed = false;
  bool stalled = false;  // a batch is still out: the objects are left alone
  std::string failure;
  double busy = 0, kernel_busy = 0, sieve_busy = 0;

  // Records the failure of an OpenCL call; returns false for the caller to pass on.
  bool fail(const std::string& what, cl_int code) {
    return fail_because(what + ": " + cl_error_name(code));
  }
  bool fail_because(const std::string& why) {
    if (!failed) failure = why;
    failed = true;
    return false;
  }

  void release_events(Slot& slot) {
    for (cl_event e : slot.events) cl->ReleaseEvent(e);
    slot.events.clear();
    slot.kernel_event = nullptr;
  }

  void release_buffers(Slot& slot) {
    if (slot.host != nullptr) {
      cl->EnqueueUnmapMemObject(queue, slot.staging, slot.host, 0, nullptr, nullptr);
      cl->Finish(queue);
      slot.host = nullptr;
    }
    if (slot.staging != nullptr) cl->ReleaseMemObject(slot.staging);
    if (slot.offsets != nullptr) cl->ReleaseMemObject(slot.offsets);
    slot.staging = slot.offsets = nullptr;
    slot.capacity = 0;
  }

  ~State() {
    if (cl == nullptr) return;
    if (queue != nullptr) cl->Finish(queue);
    for (Slot& slot : slots) {
      release_events(slot);
      if (queue != nullptr) release_buffers(slot);
      if (slot.found != nullptr) cl->ReleaseMemObject(slot.found);
    }
    for (SieveSlot& slot : sieve_slots) {
      for (cl_event e : slot.events) cl->ReleaseEvent(e);
      for (const SieveSlot::Buffer* b :
           {&slot.bits, &slot.starts, &slot.regions, &slot.blocks, &slot.chunks, &slot.counts,
            &slot.last, &slot.offsets, &slot.found}) {
        if (b->mem != nullptr) cl->ReleaseMemObject(b->mem);
      }
    }
    if (sieve_primes != nullptr) cl->ReleaseMemObject(sieve_primes);
    for (cl_kernel k :
         {search[0], search[1], residue[0], residue[1], search_list[0], search_list[1]}) {
      if (k != nullptr) cl->ReleaseKernel(k);
    }
    for (cl_kernel k : sieve) {
      if (k != nullptr) cl->ReleaseKernel(k);
    }
    if (program != nullptr) cl->ReleaseProgram(program);
    if (queue != nullptr) cl->ReleaseCommandQueue(queue);
    if (context != nullptr) cl->ReleaseContext(context);
  }

  // Waits for an event within the deadline, polling its status: a device
  // that has lost the batch never signals, and no OpenCL wait has a limit.
  bool wait_for_event(cl_event event, bool planted_stall) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + opencl_internal::kBatchTimeout;
    auto pause = std::chrono::microseconds(20);
    for (;;) {
      cl_int status = CL_QUEUED;
      const cl_int rc = cl->GetEventInfo(event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status,
                                         &status, nullptr);
      if (rc != CL_SUCCESS) return fail("clGetEventInfo", rc);
      if (status < 0) return fail("the device gave up a batch", status);
      if (status == CL_COMPLETE && !planted_stall) return true;
      if (planted_stall || clock::now() >= deadline) {
        stalled = true;
        return fail_because("a batch did not come back within " +
                            std::to_string(opencl_internal::kBatchTimeout.count()) + " seconds" +
                            (planted_stall ? " (planted)" : ""));
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
  }

  // Device seconds of the commands behind the events, from their profiles.
  double profiled_seconds(const std::vector<cl_event>& events) {
    double seconds = 0;
    for (cl_event e : events) {
      cl_ulong start = 0, end = 0;
      if (cl->GetEventProfilingInfo(e, CL_PROFILING_COMMAND_START, sizeof start, &start, nullptr) ==
              CL_SUCCESS &&
          cl->GetEventProfilingInfo(e, CL_PROFILING_COMMAND_END, sizeof end, &end, nullptr) ==
              CL_SUCCESS &&
          end > start) {
        seconds += static_cast<double>(end - start) * 1e-9;
      }
    }
    return seconds;
  }
};
