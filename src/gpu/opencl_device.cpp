// SPDX-License-Identifier: MIT
#include "gpu/opencl_device.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "gpu/cl_handles.h"
#include "gpu/device_tuning.h"
#include "gpu/kernel_source.h"

struct OpenClDevice::Objects {
  ClContext context;
  ClQueue queue;
  ClProgram program;
  ClKernel kernels[kDeviceKernels];
  std::size_t groups[kDeviceKernels] = {};
};

namespace {

constexpr const char* kKernelNames[kDeviceKernels] = {
    "search3",      "search4",     "search_list3",  "search_list4", "residue3",   "residue4",
    "sieve_starts", "sieve_block", "sieve_scatter", "sieve_count",  "sieve_last", "sieve_compact"};

// The faults planted in a test build; none in the shipped program.
PlantedFault planted_fault() {
#ifdef TAMRISK_PLANTED_GPU_FAULT
  if (const char* value = std::getenv("TAMRISK_PLANTED_GPU_FAULT")) {
    return parse_planted_fault(value);
  }
#endif
  return {};
}

// The kernels' part of the planted faults (kernels.cl): options to build
// them with; none in the shipped program, where the fault is empty.
std::string planted_build_options(const PlantedFault& fault) {
  std::string options;
  if (fault.residue_every != 0) {
    options += " -D TAMRISK_PLANTED_RESIDUE=" + std::to_string(fault.residue_every) + "UL";
    if (fault.residue_zero) options += " -D TAMRISK_PLANTED_ZERO";
  }
  if (fault.no_flags) options += " -D TAMRISK_PLANTED_NO_FLAGS";
  return options;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ' || s.back() == '\n')) s.pop_back();
  const std::size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

// A text property of a platform or device ("" when it cannot be read).
template <typename Object, typename Info, typename Query>
std::string info_text(Query query, Object object, Info what) {
  std::size_t size = 0;
  if (query(object, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
  std::string text(size, '\0');
  if (query(object, what, size, text.data(), nullptr) != CL_SUCCESS) return "";
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

std::vector<cl_platform_id> platforms_of(const OpenClApi* cl) {
  cl_uint count = 0;
  if (cl->GetPlatformIDs(0, nullptr, &count) != CL_SUCCESS || count == 0) return {};
  std::vector<cl_platform_id> out(count);
  if (cl->GetPlatformIDs(count, out.data(), nullptr) != CL_SUCCESS) return {};
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

OpenClDevice::OpenClDevice() : objects_(std::make_unique<Objects>()), fault_(planted_fault()) {}

OpenClDevice::~OpenClDevice() {
  // A device that lost a command may never finish it, and releasing what
  // the command uses could then wait for ever: its objects stay as they are.
  if (stalled_) {
    keep_unreleased(std::move(objects_));
  } else if (objects_->queue) {
    opencl_api(nullptr)->Finish(objects_->queue.get());
  }
}

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
  const std::vector<cl_platform_id> platforms = platforms_of(cl);
  if (platforms.empty()) return nothing("no OpenCL platform is installed");

  // The device and its place in the lists.
  cl_device_id id = nullptr;
  unsigned platform_index = 0, device_index = 0;
  if (request.kind == Kind::Indexed) {
    if (request.platform >= platforms.size()) {
      return nothing("there is no OpenCL platform " + std::to_string(request.platform) + " (" +
                     std::to_string(platforms.size()) + " installed)");
    }
    const std::vector<cl_device_id> all =
        devices_of(cl, platforms[request.platform], CL_DEVICE_TYPE_ALL);
    if (request.device >= all.size()) {
      return nothing("OpenCL platform " + std::to_string(request.platform) + " has no device " +
                     std::to_string(request.device) + " (" + std::to_string(all.size()) +
                     " there)");
    }
    id = all[request.device];
    platform_index = request.platform;
    device_index = request.device;
  } else {
    for (unsigned i = 0; i < platforms.size() && id == nullptr; ++i) {
      const std::vector<cl_device_id> all = devices_of(cl, platforms[i], CL_DEVICE_TYPE_ALL);
      for (unsigned j = 0; j < all.size(); ++j) {
        cl_device_type type = 0;
        cl->GetDeviceInfo(all[j], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
        if (automatic && (type & CL_DEVICE_TYPE_GPU) == 0 && !planted_fault().as_gpu) continue;
        id = all[j];
        platform_index = i;
        device_index = j;
        break;
      }
    }
    if (id == nullptr) return nothing("no OpenCL device was found");
  }

  std::unique_ptr<OpenClDevice> device(new OpenClDevice());
  OpenClDevice& d = *device;
  d.platform_index_ = platform_index;
  d.device_index_ = device_index;
  cl_device_type type = 0;
  cl->GetDeviceInfo(id, CL_DEVICE_TYPE, sizeof type, &type, nullptr);
  d.gpu_ = (type & CL_DEVICE_TYPE_GPU) != 0;
  cl_ulong max_alloc = 0;
  cl->GetDeviceInfo(id, CL_DEVICE_MAX_MEM_ALLOC_SIZE, sizeof max_alloc, &max_alloc, nullptr);
  d.max_alloc_ = static_cast<std::size_t>(std::min<cl_ulong>(max_alloc, cl_ulong{1} << 40));
  cl->GetDeviceInfo(id, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof d.compute_units_, &d.compute_units_,
                    nullptr);
  cl->GetDeviceInfo(id, CL_DEVICE_LOCAL_MEM_SIZE, sizeof d.local_memory_, &d.local_memory_,
                    nullptr);
  d.description_ = std::to_string(platform_index) + ":" + std::to_string(device_index) + ": " +
                   info_text(cl->GetDeviceInfo, id, CL_DEVICE_NAME) + " (" +
                   info_text(cl->GetPlatformInfo, platforms[platform_index], CL_PLATFORM_NAME) +
                   ", driver " + info_text(cl->GetDeviceInfo, id, CL_DRIVER_VERSION) + ")";
  // From here on a failure names the device, also for an automatic choice:
  // a GPU is there but cannot serve.
  const auto unusable = [&](const std::string& text) {
    if (why != nullptr) *why = "OpenCL device " + d.description_ + ": " + text;
    return std::unique_ptr<OpenClDevice>();
  };

  Objects& o = *d.objects_;
  cl_int rc = CL_SUCCESS;
  o.context.reset(cl->CreateContext(nullptr, 1, &id, nullptr, nullptr, &rc));
  if (rc != CL_SUCCESS) return unusable("clCreateContext: " + cl_error_name(rc));
  o.queue.reset(cl->CreateCommandQueue(o.context.get(), id, CL_QUEUE_PROFILING_ENABLE, &rc));
  if (rc != CL_SUCCESS) return unusable("clCreateCommandQueue: " + cl_error_name(rc));
  const char* source = kOpenClKernelSource;
  o.program.reset(cl->CreateProgramWithSource(o.context.get(), 1, &source, nullptr, &rc));
  if (rc != CL_SUCCESS) return unusable("clCreateProgramWithSource: " + cl_error_name(rc));
  // On NVIDIA's platform the carry chains; should its compiler refuse them,
  // the plain C that every other device builds.
  const bool nvidia = info_text(cl->GetPlatformInfo, platforms[platform_index], CL_PLATFORM_VENDOR)
                          .find("NVIDIA") != std::string::npos;
  const std::string planted = planted_build_options(d.fault_);
  rc = cl->BuildProgram(o.program.get(), 1, &id,
                        ((nvidia ? kNvidiaBuildOptions : "") + planted).c_str(), nullptr, nullptr);
  if (rc != CL_SUCCESS && nvidia) {
    rc = cl->BuildProgram(o.program.get(), 1, &id, planted.c_str(), nullptr, nullptr);
  }
  if (rc != CL_SUCCESS) {
    const std::string log = build_log(cl, o.program.get(), id);
    return unusable("the kernels did not build (" + cl_error_name(rc) +
                    (log.empty() ? "" : ": " + log) + ")");
  }
  for (int i = 0; i < kDeviceKernels; ++i) {
    o.kernels[i].reset(cl->CreateKernel(o.program.get(), kKernelNames[i], &rc));
    if (rc != CL_SUCCESS) {
      return unusable(std::string("clCreateKernel ") + kKernelNames[i] + ": " + cl_error_name(rc));
    }
    std::size_t most = 0;
    cl->GetKernelWorkGroupInfo(o.kernels[i].get(), id, CL_KERNEL_WORK_GROUP_SIZE, sizeof most,
                               &most, nullptr);
    o.groups[i] = std::clamp<std::size_t>(most, 1, 256);
  }
  if (why != nullptr) why->clear();
  return device;
}

cl_context OpenClDevice::context() const { return objects_->context.get(); }
cl_command_queue OpenClDevice::queue() const { return objects_->queue.get(); }
cl_kernel OpenClDevice::kernel(DeviceKernel which) const {
  return objects_->kernels[static_cast<int>(which)].get();
}
std::size_t OpenClDevice::group(DeviceKernel which) const {
  return objects_->groups[static_cast<int>(which)];
}

bool OpenClDevice::fail(const std::string& what, cl_int code) {
  return fail_because(what + ": " + cl_error_name(code));
}

bool OpenClDevice::fail_because(const std::string& why) {
  if (!failed_) failure_ = why;
  failed_ = true;
  return false;
}

bool OpenClDevice::wait(cl_event event, bool planted_stall) {
  using clock = std::chrono::steady_clock;
  const OpenClApi* cl = opencl_api(nullptr);
  const auto deadline = clock::now() + kBatchTimeout;
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    cl_int status = CL_QUEUED;
    const cl_int rc =
        cl->GetEventInfo(event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr);
    if (rc != CL_SUCCESS) return fail("clGetEventInfo", rc);
    if (status < 0) return fail("the device gave up a batch", status);
    if (status == CL_COMPLETE && !planted_stall) return true;
    if (planted_stall || clock::now() >= deadline) {
      stalled_ = true;
      return fail_because("a batch did not come back within " +
                          std::to_string(kBatchTimeout.count()) + " seconds" +
                          (planted_stall ? " (planted)" : ""));
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(1000));
  }
}

double OpenClDevice::profiled_seconds(const std::vector<cl_event>& events) const {
  const OpenClApi* cl = opencl_api(nullptr);
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

void OpenClDevice::add_busy(double seconds, Busy what) {
  if (what == Busy::Kernel) kernel_busy_ += seconds;
  if (what == Busy::Sieve) sieve_busy_ += seconds;
  if (what == Busy::Total) busy_ += seconds;
}

double OpenClDevice::take_busy_seconds() {
  return std::exchange(busy_, 0) * (fault_.slow ? 1000 : 1);
}
double OpenClDevice::take_kernel_seconds() { return std::exchange(kernel_busy_, 0); }
double OpenClDevice::take_sieve_seconds() { return std::exchange(sieve_busy_, 0); }

OpenClDevice::Launch OpenClDevice::next_launch() {
  ++launches_;
  const bool due = launches_ > fault_.after;
  return {fault_.kind == PlantedFault::Kind::Fail && due,
          fault_.kind == PlantedFault::Kind::Stall && due,
          fault_.kind == PlantedFault::Kind::Wrong && due};
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
  const bool any_type = planted_fault().as_gpu;
  for (const cl_platform_id platform : platforms_of(cl)) {
    if (!devices_of(cl, platform, any_type ? CL_DEVICE_TYPE_ALL : CL_DEVICE_TYPE_GPU).empty()) {
      return true;
    }
  }
  return false;
}
