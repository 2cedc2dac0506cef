// SPDX-License-Identifier: MIT
#include "gpu/opencl_device.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "gpu/kernel_source.h"
#include "gpu/opencl_api.h"
#include "gpu/opencl_state.h"

using namespace opencl_internal;

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

// What the kernels are built with on an NVIDIA platform: the squaring on
// PTX carry chains (kernels.cl), which only NVIDIA's compiler takes.
constexpr char kNvidiaBuildOptions[] = "-D TAMRISK_NVIDIA_PTX";

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
  // On NVIDIA's platform the carry chains; should its compiler refuse them,
  // the plain C that every other device builds.
  const bool nvidia =
      platform_text(cl, platforms[platform_index], CL_PLATFORM_VENDOR).find("NVIDIA") !=
      std::string::npos;
  rc = cl->BuildProgram(s.program, 1, &device, nvidia ? kNvidiaBuildOptions : "", nullptr,
                        nullptr);
  if (rc != CL_SUCCESS && nvidia) rc = cl->BuildProgram(s.program, 1, &device, "", nullptr, nullptr);
  if (rc != CL_SUCCESS) {
    const std::string log = build_log(cl, s.program, device);
    return unusable("the kernels did not build (" + cl_error_name(rc) +
                    (log.empty() ? "" : ": " + log) + ")");
  }
  const char* names[] = {"search3",       "search4",      "residue3",     "residue4",
                         "search_list3",  "search_list4", "sieve_starts", "sieve_block",
                         "sieve_scatter", "sieve_count",  "sieve_last",   "sieve_compact"};
  cl_kernel* kernels[] = {&s.search[0],
                          &s.search[1],
                          &s.residue[0],
                          &s.residue[1],
                          &s.search_list[0],
                          &s.search_list[1],
                          &s.sieve[State::kStarts],
                          &s.sieve[State::kBlock],
                          &s.sieve[State::kScatter],
                          &s.sieve[State::kCount],
                          &s.sieve[State::kLast],
                          &s.sieve[State::kCompact]};
  static_assert(std::size(names) == std::size(kernels));
  cl->GetDeviceInfo(device, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof s.compute_units, &s.compute_units,
                    nullptr);
  cl->GetDeviceInfo(device, CL_DEVICE_LOCAL_MEM_SIZE, sizeof s.local_memory, &s.local_memory,
                    nullptr);
  for (std::size_t i = 0; i < std::size(names); ++i) {
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
  const double out = state_->busy * (state_->fault.slow ? 1000 : 1);
  state_->busy = 0;
  return out;
}

double OpenClDevice::take_sieve_seconds() {
  const double out = state_->sieve_busy;
  state_->sieve_busy = 0;
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
  if (!s.wait_for_event(slot.events.back(), slot.stall)) return Collected::Failed;
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

bool opencl_device_offered(const DeviceRequest& request) {
  if (request.kind == DeviceRequest::Kind::Cpu) return false;
  if (request.kind != DeviceRequest::Kind::Automatic) return true;
  const OpenClApi* cl = opencl_api(nullptr);
  if (cl == nullptr) return false;
  cl_uint count = 0;
  if (cl->GetPlatformIDs(0, nullptr, &count) != CL_SUCCESS || count == 0) return false;
  std::vector<cl_platform_id> platforms(count);
  cl->GetPlatformIDs(count, platforms.data(), nullptr);
  const bool any_type = planted_fault().as_gpu;
  for (const cl_platform_id platform : platforms) {
    if (!devices_of(cl, platform, any_type ? CL_DEVICE_TYPE_ALL : CL_DEVICE_TYPE_GPU).empty()) {
      return true;
    }
  }
  return false;
}
