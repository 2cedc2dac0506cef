// SPDX-License-Identifier: MIT
#include "gpu/opencl_device.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "gpu/kernel_source.h"
#include "gpu/opencl_api.h"

using kernels_internal::ExponentSplit;
using kernels_internal::split_exponent;

namespace {

// A batch that has not come back after this long counts as lost: the
// largest batch of the slowest device takes seconds.
constexpr std::chrono::seconds kBatchTimeout{300};

// The limbs a kernel works on for candidates of up to max_bits bits.
unsigned limbs_for(unsigned max_bits) { return max_bits <= 92 ? 3 : 4; }

// The exponent's split for the kernel: its leading bits up to a value lead
// are consumed by the start, which costs a step of at most 16 bits (about
// half a squaring) per 16 bits of lead + 32 limbs - (b - 1); each further
// bit costs a squaring. The cheapest over leads up to 2^12.
ExponentSplit choose_split(std::uint64_t p, unsigned limbs, unsigned min_bits) {
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

std::uint32_t limb(u128 x, unsigned j) { return static_cast<std::uint32_t>(x >> (32 * j)); }

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ' || s.back() == '\n')) s.pop_back();
  const std::size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

// The planted faults of a test build, a comma-separated list: after N
// launches of the search's batches, the next ones fail ("fail:N"), never
// come back ("stall:N") or name the first candidate of their batch as a
// divisor too ("wrong:N"); "as-gpu" lets a default choice take a device of
// any type, as if it were a GPU.
struct PlantedFault {
  enum class Kind { None, Fail, Stall, Wrong } kind = Kind::None;
  unsigned after = 0;
  bool as_gpu = false;
};

PlantedFault planted_fault() {
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

}  // namespace

struct OpenClDevice::State {
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

  PlantedFault fault = planted_fault();
  unsigned launches = 0;
  bool failed = false;
  bool stalled = false;  // a batch is still out: the objects are left alone
  std::string failure;
  double busy = 0, kernel_busy = 0;

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
    for (cl_kernel k : {search[0], search[1], residue[0], residue[1]}) {
      if (k != nullptr) cl->ReleaseKernel(k);
    }
    if (program != nullptr) cl->ReleaseProgram(program);
    if (queue != nullptr) cl->ReleaseCommandQueue(queue);
    if (context != nullptr) cl->ReleaseContext(context);
  }

  // Waits for an event within the deadline, polling its status: a device
  // that has lost the batch never signals, and no OpenCL wait has a limit.
  bool wait(cl_event event, bool planted_stall) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + kBatchTimeout;
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
                            std::to_string(kBatchTimeout.count()) + " seconds" +
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

namespace {

std::string platform_text(const OpenClApi* cl, cl_platform_id platform, cl_platform_info what) {
  std::size_t size = 0;
  if (cl->GetPlatformInfo(platform, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
  std::string text(size, '\0');
  if (cl->GetPlatformInfo(platform, what, size, text.data(), nullptr) != CL_SUCCESS) return "";
  return trimmed(text);
}

std::string device_text(const OpenClApi* cl, cl_device_id device, cl_device_info what) {
  std::size_t size = 0;
  if (cl->GetDeviceInfo(device, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
  std::string text(size, '\0');
  if (cl->GetDeviceInfo(device, what, size, text.data(), nullptr) != CL_SUCCESS) return "";
  return trimmed(text);
}

std::vector<cl_device_id> devices_of(const OpenClApi* cl, cl_platform_id platform,
                                     cl_device_type type) {
  cl_uint count = 0;
  if (cl->GetDeviceIDs(platform, type, 0, nullptr, &count) != CL_SUCCESS || count == 0) return {};
  std::vector<cl_device_id> out(count);
  if (cl->GetDeviceIDs(platform, type, count, out.data(), nullptr) != CL_SUCCESS) return {};
  return out;
}

// The first lines of a failed build's log, joined, for a one-line message.
std::string build_log(const OpenClApi* cl, cl_program program, cl_device_id device) {
  std::size_t size = 0;
  if (cl->GetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size) !=
          CL_SUCCESS ||
      size == 0) {
    return "";
  }
  std::string log(size, '\0');
  cl->GetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
  std::string out;
  std::size_t from = 0;
  for (int lines = 0; lines < 3 && from < log.size();) {
    std::size_t end = log.find('\n', from);
    if (end == std::string::npos) end = log.size();
    const std::string line = trimmed(log.substr(from, end - from));
    if (!line.empty()) {
      out += (out.empty() ? "" : " / ") + line;
      ++lines;
    }
    from = end + 1;
  }
  return out;
}

}  // namespace

std::unique_ptr<OpenClDevice> OpenClDevice::open(const DeviceRequest& request, std::string* why) {
  using Kind = DeviceRequest::Kind;
  std::string reason;
  const bool automatic = request.kind == Kind::Automatic;
  const auto nothing = [&](const std::string& text) {
    if (why != nullptr) *why = automatic ? std::string() : "OpenCL: " + text;
    return std::unique_ptr<OpenClDevice>();
  };
  const OpenClApi* cl = opencl_api(&reason);
  if (cl == nullptr) return nothing("OpenCL cannot be loaded (" + reason + ")");

  cl_uint platform_count = 0;
  const cl_int listed = cl->GetPlatformIDs(0, nullptr, &platform_count);
  if (listed != CL_SUCCESS || platform_count == 0) {
    return nothing("no OpenCL platform is installed");
  }
  std::vector<cl_platform_id> platforms(platform_count);
  cl->GetPlatformIDs(platform_count, platforms.data(), nullptr);

  // The device and its place in the lists.
  cl_device_id device = nullptr;
  unsigned platform_index = 0, device_index = 0;
  if (request.kind == Kind::Indexed) {
    if (request.platform >= platform_count) {
      return nothing("there is no OpenCL platform " + std::to_string(request.platform) + " (" +
                     std::to_string(platform_count) + " installed)");
    }
    const std::vector<cl_device_id> all =
        devices_of(cl, platforms[request.platform], CL_DEVICE_TYPE_ALL);
    if (request.device >= all.size()) {
      return nothing("OpenCL platform " + std::to_string(request.platform) + " has no device " +
                     std::to_string(request.device) + " (" + std::to_string(all.size()) +
                     " there)");
    }
    device = all[request.device];
    platform_index = request.platform;
    device_index = request.device;
  } else {
    for (unsigned i = 0; i < platform_count && device == nullptr; ++i) {
      const std::vector<cl_device_id> all = devices_of(cl, platforms[i], CL_DEVICE_TYPE_ALL);
      for (unsigned j = 0; j < all.size(); ++j) {
        cl_device_type type = 0;
        cl->GetDeviceInfo(all[j], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
        if (automatic && (type & CL_DEVICE_TYPE_GPU) == 0 && !planted_fault().as_gpu) continue;
        device = all[j];
        platform_index = i;
        device_index = j;
        break;
      }
    }
    if (device == nullptr) return nothing("no OpenCL device was found");
  }

  auto state = std::make_unique<State>();
  State& s = *state;
  s.cl = cl;
  s.device = device;
  s.platform_index = platform_index;
  s.device_index = device_index;
  cl_device_type type = 0;
  cl->GetDeviceInfo(device, CL_DEVICE_TYPE, sizeof type, &type, nullptr);
  s.gpu = (type & CL_DEVICE_TYPE_GPU) != 0;
  cl_ulong max_alloc = 0;
  cl->GetDeviceInfo(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE, sizeof max_alloc, &max_alloc, nullptr);
  s.max_alloc = static_cast<std::size_t>(std::min<cl_ulong>(max_alloc, cl_ulong{1} << 40));
  s.description = std::to_string(platform_index) + ":" + std::to_string(device_index) + ": " +
                  device_text(cl, device, CL_DEVICE_NAME) + " (" +
                  platform_text(cl, platforms[platform_index], CL_PLATFORM_NAME) + ", driver " +
                  device_text(cl, device, CL_DRIVER_VERSION) + ")";
  // From here on a failure names the device, also for an automatic choice:
  // a GPU is there but cannot serve.
  const auto unusable = [&](const std::string& text) {
    if (why != nullptr) *why = "OpenCL device " + s.description + ": " + text;
    return std::unique_ptr<OpenClDevice>();
  };

  cl_int rc = CL_SUCCESS;
  s.context = cl->CreateContext(nullptr, 1, &device, nullptr, nullptr, &rc);
  if (rc != CL_SUCCESS) return unusable("clCreateContext: " + cl_error_name(rc));
  s.queue = cl->CreateCommandQueue(s.context, device, CL_QUEUE_PROFILING_ENABLE, &rc);
  if (rc != CL_SUCCESS) return unusable("clCreateCommandQueue: " + cl_error_name(rc));
  const char* source = kOpenClKernelSource;
  s.program = cl->CreateProgramWithSource(s.context, 1, &source, nullptr, &rc);
  if (rc != CL_SUCCESS) return unusable("clCreateProgramWithSource: " + cl_error_name(rc));
  rc = cl->BuildProgram(s.program, 1, &device, "", nullptr, nullptr);
  if (rc != CL_SUCCESS) {
    const std::string log = build_log(cl, s.program, device);
    return unusable("the kernels did not build (" + cl_error_name(rc) +
                    (log.empty() ? "" : ": " + log) + ")");
  }
  const char* names[4] = {"search3", "search4", "residue3", "residue4"};
  cl_kernel* kernels[4] = {&s.search[0], &s.search[1], &s.residue[0], &s.residue[1]};
  for (int i = 0; i < 4; ++i) {
    *kernels[i] = cl->CreateKernel(s.program, names[i], &rc);
    if (rc != CL_SUCCESS)
      return unusable(std::string("clCreateKernel ") + names[i] + ": " + cl_error_name(rc));
  }
  for (int i = 0; i < 2; ++i) {
    std::size_t most = 0;
    cl->GetKernelWorkGroupInfo(s.search[i], device, CL_KERNEL_WORK_GROUP_SIZE, sizeof most, &most,
                               nullptr);
    s.group[i] = std::clamp<std::size_t>(most, 1, 256);
  }
  for (State::Slot& slot : s.slots) {
    slot.found_host.assign(1 + kFoundCapacity, 0);
    slot.found = cl->CreateBuffer(s.context, CL_MEM_READ_WRITE,
                                  slot.found_host.size() * sizeof(std::uint32_t), nullptr, &rc);
    if (rc != CL_SUCCESS) return unusable("clCreateBuffer: " + cl_error_name(rc));
  }
  if (why != nullptr) why->clear();
  return std::unique_ptr<OpenClDevice>(new OpenClDevice(std::move(state)));
}

OpenClDevice::OpenClDevice(std::unique_ptr<State> state) : state_(std::move(state)) {}

OpenClDevice::~OpenClDevice() {
  // A device that lost a batch may never finish it, and releasing what the
  // batch uses could then wait for ever: its objects are left as they are,
  // kept where the process can still reach them.
  if (state_ != nullptr && state_->stalled) {
    static std::vector<std::unique_ptr<State>> abandoned;
    abandoned.push_back(std::move(state_));
  }
}

const std::string& OpenClDevice::description() const { return state_->description; }
bool OpenClDevice::is_gpu() const { return state_->gpu; }
unsigned OpenClDevice::platform_index() const { return state_->platform_index; }
unsigned OpenClDevice::device_index() const { return state_->device_index; }
bool OpenClDevice::failed() const { return state_->failed; }
const std::string& OpenClDevice::failure() const { return state_->failure; }

std::size_t OpenClDevice::max_batch() const { return state_->max_alloc / sizeof(std::uint32_t); }

double OpenClDevice::take_busy_seconds() {
  const double out = state_->busy;
  state_->busy = 0;
  return out;
}

double OpenClDevice::take_kernel_seconds() {
  const double out = state_->kernel_busy;
  state_->kernel_busy = 0;
  return out;
}

std::uint32_t* OpenClDevice::reserve(int slot_index, std::size_t count) {
  State& s = *state_;
  if (s.failed) return nullptr;
  State::Slot& slot = s.slots[slot_index];
  if (!slot.events.empty()) {
    // A batch left uncollected (its chunk went to the CPU) must be done
    // before its memory is written again.
    const cl_int rc = s.cl->Finish(s.queue);
    if (rc != CL_SUCCESS) {
      s.fail("clFinish", rc);
      return nullptr;
    }
    s.release_events(slot);
  }
  count = std::max<std::size_t>(count, 1);
  if (count > max_batch()) {
    s.fail_because("a batch of " + std::to_string(count) +
                   " candidates exceeds the device's largest buffer");
    return nullptr;
  }
  if (count <= slot.capacity) return slot.host;
  s.release_buffers(slot);
  // Room to grow into, so that a run reallocates a few times at most.
  const std::size_t capacity =
      std::min(max_batch(), std::max<std::size_t>(count + count / 2, 1 << 16));
  const std::size_t bytes = capacity * sizeof(std::uint32_t);
  cl_int rc = CL_SUCCESS;
  slot.staging =
      s.cl->CreateBuffer(s.context, CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR, bytes, nullptr, &rc);
  if (rc != CL_SUCCESS) {
    s.fail("clCreateBuffer", rc);
    return nullptr;
  }
  slot.offsets = s.cl->CreateBuffer(s.context, CL_MEM_READ_ONLY, bytes, nullptr, &rc);
  if (rc != CL_SUCCESS) {
    s.fail("clCreateBuffer", rc);
    return nullptr;
  }
  void* mapped = s.cl->EnqueueMapBuffer(s.queue, slot.staging, CL_TRUE, CL_MAP_WRITE, 0, bytes, 0,
                                        nullptr, nullptr, &rc);
  if (rc != CL_SUCCESS) {
    s.fail("clEnqueueMapBuffer", rc);
    return nullptr;
  }
  slot.host = static_cast<std::uint32_t*>(mapped);
  slot.capacity = capacity;
  return slot.host;
}

bool OpenClDevice::launch(int slot_index, std::uint64_t p, u128 base, u128 step, std::size_t count,
                          unsigned min_bits, unsigned max_bits) {
  State& s = *state_;
  if (s.failed) return false;
  State::Slot& slot = s.slots[slot_index];
  ++s.launches;
  if (s.fault.kind == PlantedFault::Kind::Fail && s.launches > s.fault.after) {
    return s.fail_because("clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES (planted)");
  }
  slot.stall = s.fault.kind == PlantedFault::Kind::Stall && s.launches > s.fault.after;
  slot.wrong = s.fault.kind == PlantedFault::Kind::Wrong && s.launches > s.fault.after && count > 0;
  const unsigned limbs = limbs_for(max_bits);
  const ExponentSplit split = choose_split(p, limbs, min_bits);
  const cl_kernel kernel = s.search[limbs - 3];
  static const cl_uint kZero = 0;
  cl_event copy_in = nullptr, reset = nullptr, run = nullptr, copy_out = nullptr;
  cl_int rc = s.cl->EnqueueWriteBuffer(s.queue, slot.offsets, CL_FALSE, 0,
                                       std::max<std::size_t>(count, 1) * sizeof(std::uint32_t),
                                       slot.host, 0, nullptr, &copy_in);
  if (rc != CL_SUCCESS) return s.fail("clEnqueueWriteBuffer", rc);
  slot.events.push_back(copy_in);
  rc = s.cl->EnqueueWriteBuffer(s.queue, slot.found, CL_FALSE, 0, sizeof kZero, &kZero, 0, nullptr,
                                &reset);
  if (rc != CL_SUCCESS) return s.fail("clEnqueueWriteBuffer", rc);
  slot.events.push_back(reset);

  const cl_uint n = static_cast<cl_uint>(count);
  const cl_ulong exponent = p;
  const cl_uint lead = static_cast<cl_uint>(split.lead), rest = split.rest;
  const cl_uint capacity = kFoundCapacity;
  const cl_uint b[4] = {limb(base, 0), limb(base, 1), limb(base, 2), limb(base, 3)};
  const cl_uint st[3] = {limb(step, 0), limb(step, 1), limb(step, 2)};
  cl_uint arg = 0;
  rc = s.cl->SetKernelArg(kernel, arg++, sizeof(cl_mem), &slot.offsets);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof n, &n);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof exponent, &exponent);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof lead, &lead);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof rest, &rest);
  for (const cl_uint& v : b) {
    if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof v, &v);
  }
  for (const cl_uint& v : st) {
    if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof v, &v);
  }
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof(cl_mem), &slot.found);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, arg++, sizeof capacity, &capacity);
  if (rc != CL_SUCCESS) return s.fail("clSetKernelArg", rc);
  if (count > 0) {
    const std::size_t group = s.group[limbs - 3];
    const std::size_t global = (count + group - 1) / group * group;
    rc = s.cl->EnqueueNDRangeKernel(s.queue, kernel, 1, nullptr, &global, &group, 0, nullptr, &run);
    if (rc != CL_SUCCESS) return s.fail("clEnqueueNDRangeKernel", rc);
    slot.events.push_back(run);
    slot.kernel_event = run;
  }
  rc = s.cl->EnqueueReadBuffer(s.queue, slot.found, CL_FALSE, 0,
                               slot.found_host.size() * sizeof(std::uint32_t),
                               slot.found_host.data(), 0, nullptr, &copy_out);
  if (rc != CL_SUCCESS) return s.fail("clEnqueueReadBuffer", rc);
  slot.events.push_back(copy_out);
  rc = s.cl->Flush(s.queue);
  if (rc != CL_SUCCESS) return s.fail("clFlush", rc);
  return true;
}

OpenClDevice::Collected OpenClDevice::collect(int slot_index, std::vector<std::uint32_t>& hits) {
  State& s = *state_;
  hits.clear();
  State::Slot& slot = s.slots[slot_index];
  if (s.failed || slot.events.empty()) {
    if (!s.failed) s.fail_because("a batch was collected that was never launched");
    return Collected::Failed;
  }
  if (!s.wait(slot.events.back(), slot.stall)) return Collected::Failed;
  s.busy += s.profiled_seconds(slot.events);
  if (slot.kernel_event != nullptr) s.kernel_busy += s.profiled_seconds({slot.kernel_event});
  s.release_events(slot);
  const std::uint32_t found = slot.found_host[0];
  if (found > kFoundCapacity) return Collected::Overflow;
  hits.assign(slot.found_host.begin() + 1, slot.found_host.begin() + 1 + found);
  if (slot.wrong) hits.push_back(slot.host[0]);
  return Collected::Done;
}

OpenClDevice::Collected OpenClDevice::search(std::uint64_t p, u128 base, u128 step,
                                             const std::uint32_t* offsets, std::size_t n,
                                             std::vector<std::uint32_t>& hits) {
  hits.clear();
  std::uint32_t* host = reserve(0, n);
  if (host == nullptr) return Collected::Failed;
  std::copy(offsets, offsets + n, host);
  u128 smallest = 0, largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const u128 d = base + step * offsets[i];
    if (i == 0 || d < smallest) smallest = d;
    largest = std::max(largest, d);
  }
  using kernels_internal::bit_length;
  if (!launch(0, p, base, step, n, n == 0 ? 2 : bit_length(smallest),
              n == 0 ? 2 : bit_length(largest))) {
    return Collected::Failed;
  }
  return collect(0, hits);
}

bool OpenClDevice::powm2(std::uint64_t p, const u128* d, std::size_t n, u128* residue) {
  State& s = *state_;
  if (s.failed) return false;
  if (n == 0) return true;
  unsigned smallest = 128, largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    smallest = std::min(smallest, kernels_internal::bit_length(d[i]));
    largest = std::max(largest, kernels_internal::bit_length(d[i]));
  }
  const unsigned limbs = limbs_for(largest);
  const ExponentSplit split = choose_split(p, limbs, smallest);
  std::vector<cl_uint> words(n * limbs);
  for (std::size_t i = 0; i < n; ++i) {
    for (unsigned j = 0; j < limbs; ++j) words[i * limbs + j] = limb(d[i], j);
  }
  const std::size_t bytes = words.size() * sizeof(cl_uint);
  cl_int rc = CL_SUCCESS;
  cl_mem in = s.cl->CreateBuffer(s.context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, bytes,
                                 words.data(), &rc);
  if (rc != CL_SUCCESS) return s.fail("clCreateBuffer", rc);
  cl_mem out = s.cl->CreateBuffer(s.context, CL_MEM_WRITE_ONLY, bytes, nullptr, &rc);
  if (rc != CL_SUCCESS) {
    s.cl->ReleaseMemObject(in);
    return s.fail("clCreateBuffer", rc);
  }
  const cl_kernel kernel = s.residue[limbs - 3];
  const cl_uint count = static_cast<cl_uint>(n);
  const cl_ulong exponent = p;
  const cl_uint lead = static_cast<cl_uint>(split.lead), rest = split.rest;
  rc = s.cl->SetKernelArg(kernel, 0, sizeof(cl_mem), &in);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, 1, sizeof count, &count);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, 2, sizeof exponent, &exponent);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, 3, sizeof lead, &lead);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, 4, sizeof rest, &rest);
  if (rc == CL_SUCCESS) rc = s.cl->SetKernelArg(kernel, 5, sizeof(cl_mem), &out);
  const std::size_t global = n;
  if (rc == CL_SUCCESS) {
    rc = s.cl->EnqueueNDRangeKernel(s.queue, kernel, 1, nullptr, &global, nullptr, 0, nullptr,
                                    nullptr);
  }
  if (rc == CL_SUCCESS) {
    rc =
        s.cl->EnqueueReadBuffer(s.queue, out, CL_TRUE, 0, bytes, words.data(), 0, nullptr, nullptr);
  }
  s.cl->ReleaseMemObject(in);
  s.cl->ReleaseMemObject(out);
  if (rc != CL_SUCCESS) return s.fail("the residue kernel", rc);
  for (std::size_t i = 0; i < n; ++i) {
    u128 r = 0;
    for (unsigned j = limbs; j-- > 0;) r = (r << 32) | words[i * limbs + j];
    residue[i] = r;
  }
  return true;
}

OpenClDevice* shared_opencl_device(const DeviceRequest& request, std::string* why) {
  static std::mutex guard;
  static std::map<std::tuple<int, unsigned, unsigned>, std::unique_ptr<OpenClDevice>> opened;
  const std::lock_guard<std::mutex> lock(guard);
  auto& kept = opened[{static_cast<int>(request.kind), request.platform, request.device}];
  if (kept != nullptr && !kept->failed()) {
    if (why != nullptr) why->clear();
    return kept.get();
  }
  kept = OpenClDevice::open(request, why);
  return kept.get();
}
