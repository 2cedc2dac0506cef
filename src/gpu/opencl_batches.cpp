// SPDX-License-Identifier: MIT
#include "gpu/opencl_batches.h"

#include <algorithm>

#include "gpu/cl_handles.h"
#include "gpu/device_tuning.h"
#include "gpu/kernel_launch.h"

struct OpenClBatches::Slot {
  ClMem staging;  // host memory the offsets are written into
  std::uint32_t* host = nullptr;
  ClMem offsets;  // the same on the device
  std::size_t capacity = 0;
  ClMem found;  // count, then the divisors' offsets
  std::vector<std::uint32_t> found_host;
  ClMem flags;  // count, then the flagged candidates' offsets
  std::vector<std::uint32_t> flags_host;
  std::size_t flag_capacity = 0;
  ClEvents events;  // copy in, count reset, kernel, copy out (the last is waited on)
  std::size_t kernel_event = SIZE_MAX;  // the kernel's, among them
  bool stall = false;                   // planted: this batch never comes back
  bool wrong = false;                   // planted: it names its first candidate too
};

namespace {

using Slot = OpenClBatches::Slot;

// Unmaps and releases the slot's offset buffers.
void release_buffers(OpenClDevice& device, Slot& slot) {
  if (slot.host != nullptr) {
    const OpenClApi* cl = opencl_api(nullptr);
    cl->EnqueueUnmapMemObject(device.queue(), slot.staging.get(), slot.host, 0, nullptr, nullptr);
    cl->Finish(device.queue());
    slot.host = nullptr;
  }
  slot.staging.reset();
  slot.offsets.reset();
  slot.capacity = 0;
}

}  // namespace

OpenClBatches::OpenClBatches(OpenClDevice& device)
    : device_(device), slots_(std::make_unique<Slot[]>(kSlots)) {}

OpenClBatches::~OpenClBatches() {
  // A device that lost a batch may never finish it: what it uses stays.
  if (device_.stalled()) {
    keep_unreleased(std::move(slots_));
    return;
  }
  opencl_api(nullptr)->Finish(device_.queue());
  for (int i = 0; i < kSlots; ++i) release_buffers(device_, slots_[i]);
}

std::size_t OpenClBatches::max_batch() const { return device_.max_alloc() / sizeof(std::uint32_t); }

std::uint32_t* OpenClBatches::reserve(int slot_index, std::size_t count) {
  if (device_.failed()) return nullptr;
  const OpenClApi* cl = opencl_api(nullptr);
  Slot& slot = slots_[slot_index];
  if (!slot.events.empty()) {
    // A batch left uncollected (its chunk went to the CPU) must be done
    // before its memory is written again.
    const cl_int rc = cl->Finish(device_.queue());
    if (rc != CL_SUCCESS) {
      device_.fail("clFinish", rc);
      return nullptr;
    }
    slot.events.clear();
  }
  count = std::max<std::size_t>(count, 1);
  if (count > max_batch()) {
    device_.fail_because("a batch of " + std::to_string(count) +
                         " candidates exceeds the device's largest buffer");
    return nullptr;
  }
  if (count <= slot.capacity) return slot.host;
  release_buffers(device_, slot);
  // Room to grow into, so that a run reallocates a few times at most.
  const std::size_t capacity =
      std::min(max_batch(), std::max<std::size_t>(count + count / 2, 1 << 16));
  const std::size_t bytes = capacity * sizeof(std::uint32_t);
  cl_int rc = CL_SUCCESS;
  slot.staging.reset(cl->CreateBuffer(device_.context(), CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR,
                                      bytes, nullptr, &rc));
  if (rc != CL_SUCCESS) {
    device_.fail("clCreateBuffer", rc);
    return nullptr;
  }
  slot.offsets.reset(cl->CreateBuffer(device_.context(), CL_MEM_READ_ONLY, bytes, nullptr, &rc));
  if (rc != CL_SUCCESS) {
    device_.fail("clCreateBuffer", rc);
    return nullptr;
  }
  void* mapped = cl->EnqueueMapBuffer(device_.queue(), slot.staging.get(), CL_TRUE, CL_MAP_WRITE, 0,
                                      bytes, 0, nullptr, nullptr, &rc);
  if (rc != CL_SUCCESS) {
    device_.fail("clEnqueueMapBuffer", rc);
    return nullptr;
  }
  slot.host = static_cast<std::uint32_t*>(mapped);
  slot.capacity = capacity;
  return slot.host;
}

bool OpenClBatches::launch(int slot_index, std::uint64_t p, u128 base, u128 step, std::size_t count,
                           unsigned min_bits, unsigned max_bits, unsigned check_bits) {
  if (device_.failed()) return false;
  const OpenClApi* cl = opencl_api(nullptr);
  cl_command_queue queue = device_.queue();
  Slot& slot = slots_[slot_index];
  const OpenClDevice::Launch planted = device_.next_launch();
  if (planted.fail) {
    return device_.fail_because("clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES (planted)");
  }
  slot.stall = planted.stall;
  slot.wrong = planted.wrong && count > 0;
  cl_int rc = CL_SUCCESS;
  if (!slot.found) {
    slot.found_host.assign(1 + kFoundCapacity, 0);
    slot.found.reset(cl->CreateBuffer(device_.context(), CL_MEM_READ_WRITE,
                                      slot.found_host.size() * sizeof(std::uint32_t), nullptr,
                                      &rc));
    if (rc != CL_SUCCESS) return device_.fail("clCreateBuffer", rc);
  }
  // Room for the flags: about one in 2^check_bits, with a wide margin.
  const std::size_t flag_room = (check_bits == 0 ? 0 : count >> check_bits) * 2 + 1024;
  if (flag_room > slot.flag_capacity) {
    slot.flag_capacity = flag_room;
    slot.flags_host.assign(1 + flag_room, 0);
    slot.flags.reset();
    slot.flags.reset(cl->CreateBuffer(device_.context(), CL_MEM_READ_WRITE,
                                      slot.flags_host.size() * sizeof(std::uint32_t), nullptr,
                                      &rc));
    if (rc != CL_SUCCESS) return device_.fail("clCreateBuffer", rc);
  }
  const cl_uint flag_mask = check_bits == 0 ? 0 : (cl_uint{1} << check_bits) - 1;
  const unsigned limbs = limbs_for(max_bits);
  const ExponentSplit split = choose_split(p, limbs, min_bits);
  const DeviceKernel which = limbs == 3 ? DeviceKernel::Search3 : DeviceKernel::Search4;
  const cl_kernel kernel = device_.kernel(which);
  static const cl_uint kZero = 0;
  slot.kernel_event = SIZE_MAX;
  rc = cl->EnqueueWriteBuffer(queue, slot.offsets.get(), CL_FALSE, 0,
                              std::max<std::size_t>(count, 1) * sizeof(std::uint32_t), slot.host, 0,
                              nullptr, slot.events.next());
  if (rc != CL_SUCCESS) return device_.fail("clEnqueueWriteBuffer", rc);
  rc = cl->EnqueueWriteBuffer(queue, slot.found.get(), CL_FALSE, 0, sizeof kZero, &kZero, 0,
                              nullptr, slot.events.next());
  if (rc == CL_SUCCESS) {
    rc = cl->EnqueueWriteBuffer(queue, slot.flags.get(), CL_FALSE, 0, sizeof kZero, &kZero, 0,
                                nullptr, slot.events.next());
  }
  if (rc != CL_SUCCESS) return device_.fail("clEnqueueWriteBuffer", rc);
  rc = set_kernel_args(kernel, slot.offsets.get(), static_cast<cl_uint>(count), cl_ulong{p},
                       static_cast<cl_uint>(split.lead), cl_uint{split.rest}, limb(base, 0),
                       limb(base, 1), limb(base, 2), limb(base, 3), limb(step, 0), limb(step, 1),
                       limb(step, 2), slot.found.get(), cl_uint{kFoundCapacity}, flag_mask,
                       slot.flags.get(), static_cast<cl_uint>(slot.flag_capacity));
  if (rc != CL_SUCCESS) return device_.fail("clSetKernelArg", rc);
  if (count > 0) {
    const std::size_t group = device_.group(which);
    const std::size_t global = (count + group - 1) / group * group;
    slot.kernel_event = slot.events.size();
    rc = cl->EnqueueNDRangeKernel(queue, kernel, 1, nullptr, &global, &group, 0, nullptr,
                                  slot.events.next());
    if (rc != CL_SUCCESS) return device_.fail("clEnqueueNDRangeKernel", rc);
  }
  rc = cl->EnqueueReadBuffer(queue, slot.found.get(), CL_FALSE, 0,
                             slot.found_host.size() * sizeof(std::uint32_t), slot.found_host.data(),
                             0, nullptr, slot.events.next());
  if (rc == CL_SUCCESS) {
    rc = cl->EnqueueReadBuffer(queue, slot.flags.get(), CL_FALSE, 0,
                               slot.flags_host.size() * sizeof(std::uint32_t),
                               slot.flags_host.data(), 0, nullptr, slot.events.next());
  }
  if (rc != CL_SUCCESS) return device_.fail("clEnqueueReadBuffer", rc);
  rc = cl->Flush(queue);
  if (rc != CL_SUCCESS) return device_.fail("clFlush", rc);
  return true;
}

DeviceCollected OpenClBatches::collect(int slot_index, Findings& found) {
  found = {};
  Slot& slot = slots_[slot_index];
  if (device_.failed() || slot.events.empty()) {
    if (!device_.failed()) device_.fail_because("a batch was collected that was never launched");
    return DeviceCollected::Failed;
  }
  if (!device_.wait(slot.events.back(), slot.stall)) return DeviceCollected::Failed;
  device_.add_busy(device_.profiled_seconds(slot.events.raw()), OpenClDevice::Busy::Total);
  if (slot.kernel_event != SIZE_MAX) {
    device_.add_busy(
        device_.profiled_seconds(slot.events.raw(slot.kernel_event, slot.kernel_event + 1)),
        OpenClDevice::Busy::Kernel);
  }
  slot.events.clear();
  const std::uint32_t divisors = slot.found_host[0];
  found.flag_count = slot.flags_host[0];
  if (divisors > kFoundCapacity || found.flag_count > slot.flag_capacity) {
    return DeviceCollected::Overflow;
  }
  found.hits.assign(slot.found_host.begin() + 1, slot.found_host.begin() + 1 + divisors);
  found.flags.assign(slot.flags_host.begin() + 1, slot.flags_host.begin() + 1 + found.flag_count);
  if (slot.wrong) found.hits.push_back(slot.host[0]);
  return DeviceCollected::Done;
}

DeviceCollected OpenClBatches::search(std::uint64_t p, u128 base, u128 step,
                                      const std::uint32_t* offsets, std::size_t n,
                                      std::vector<std::uint32_t>& hits) {
  hits.clear();
  std::uint32_t* host = reserve(0, n);
  if (host == nullptr) return DeviceCollected::Failed;
  std::copy(offsets, offsets + n, host);
  u128 smallest = 0, largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const u128 d = base + step * offsets[i];
    if (i == 0 || d < smallest) smallest = d;
    largest = std::max(largest, d);
  }
  if (!launch(0, p, base, step, n, n == 0 ? 2 : bit_length(smallest),
              n == 0 ? 2 : bit_length(largest))) {
    return DeviceCollected::Failed;
  }
  Findings found;
  const DeviceCollected collected = collect(0, found);
  hits = std::move(found.hits);
  return collected;
}

bool OpenClBatches::powm2(std::uint64_t p, const u128* d, std::size_t n, u128* residue) {
  if (device_.failed()) return false;
  if (n == 0) return true;
  const OpenClApi* cl = opencl_api(nullptr);
  unsigned smallest = 128, largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    smallest = std::min(smallest, bit_length(d[i]));
    largest = std::max(largest, bit_length(d[i]));
  }
  const unsigned limbs = limbs_for(largest);
  const ExponentSplit split = choose_split(p, limbs, smallest);
  std::vector<cl_uint> words(n * limbs);
  for (std::size_t i = 0; i < n; ++i) {
    for (unsigned j = 0; j < limbs; ++j) words[i * limbs + j] = limb(d[i], j);
  }
  const std::size_t bytes = words.size() * sizeof(cl_uint);
  cl_int rc = CL_SUCCESS;
  const ClMem in(cl->CreateBuffer(device_.context(), CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, bytes,
                                  words.data(), &rc));
  if (rc != CL_SUCCESS) return device_.fail("clCreateBuffer", rc);
  const ClMem out(cl->CreateBuffer(device_.context(), CL_MEM_WRITE_ONLY, bytes, nullptr, &rc));
  if (rc != CL_SUCCESS) return device_.fail("clCreateBuffer", rc);
  const cl_kernel kernel =
      device_.kernel(limbs == 3 ? DeviceKernel::Residue3 : DeviceKernel::Residue4);
  rc = set_kernel_args(kernel, in.get(), static_cast<cl_uint>(n), cl_ulong{p},
                       static_cast<cl_uint>(split.lead), cl_uint{split.rest}, out.get());
  const std::size_t global = n;
  if (rc == CL_SUCCESS) {
    rc = cl->EnqueueNDRangeKernel(device_.queue(), kernel, 1, nullptr, &global, nullptr, 0, nullptr,
                                  nullptr);
  }
  if (rc == CL_SUCCESS) {
    rc = cl->EnqueueReadBuffer(device_.queue(), out.get(), CL_TRUE, 0, bytes, words.data(), 0,
                               nullptr, nullptr);
  }
  if (rc != CL_SUCCESS) return device_.fail("the residue kernel", rc);
  for (std::size_t i = 0; i < n; ++i) {
    u128 r = 0;
    for (unsigned j = limbs; j-- > 0;) r = (r << 32) | words[i * limbs + j];
    residue[i] = r;
  }
  return true;
}
