// SPDX-License-Identifier: MIT
// The OpenCL objects, owned: each handle releases its object once, when it
// goes (or is reset), on every path; a kernel's arguments set in one call;
// and a list of the events of queued commands. Handles exist only once the
// library has been loaded (opencl_api.h), whose table they release through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "gpu/opencl_api.h"

template <typename T, auto Release>
class ClHandle {
 public:
  ClHandle() = default;
  explicit ClHandle(T object) : object_(object) {}
  ~ClHandle() { reset(); }
  ClHandle(ClHandle&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ClHandle& operator=(ClHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  ClHandle(const ClHandle&) = delete;
  ClHandle& operator=(const ClHandle&) = delete;

  T get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Where a call that makes an object writes it (the one held is released).
  T* out() {
    reset();
    return &object_;
  }
  void reset(T object = nullptr) {
    if (object_ != nullptr) (opencl_api(nullptr)->*Release)(object_);
    object_ = object;
  }

 private:
  T object_ = nullptr;
};

using ClContext = ClHandle<cl_context, &OpenClApi::ReleaseContext>;
using ClQueue = ClHandle<cl_command_queue, &OpenClApi::ReleaseCommandQueue>;
using ClProgram = ClHandle<cl_program, &OpenClApi::ReleaseProgram>;
using ClKernel = ClHandle<cl_kernel, &OpenClApi::ReleaseKernel>;
using ClMem = ClHandle<cl_mem, &OpenClApi::ReleaseMemObject>;
using ClEvent = ClHandle<cl_event, &OpenClApi::ReleaseEvent>;

// The events of a run of queued commands, in order; the last is the one
// waited on.
class ClEvents {
 public:
  // Where the next command writes its event.
  cl_event* next() { return events_.emplace_back().out(); }
  cl_event back() const { return events_.back().get(); }
  bool empty() const { return events_.empty(); }
  std::size_t size() const { return events_.size(); }
  // The events from `from` on (all of them by default), for profiling.
  std::vector<cl_event> raw(std::size_t from = 0, std::size_t to = SIZE_MAX) const {
    std::vector<cl_event> out;
    for (std::size_t i = from; i < events_.size() && i < to; ++i) out.push_back(events_[i].get());
    return out;
  }
  void clear() { events_.clear(); }

 private:
  std::vector<ClEvent> events_;
};

namespace cl_handles_internal {

template <typename T>
const void* arg_pointer(const T& value) {
  return &value;
}
template <typename T, auto Release>
const void* arg_pointer(const ClHandle<T, Release>& handle) = delete;  // pass .get()

}  // namespace cl_handles_internal

// Sets the kernel's arguments 0, 1, ... to values (plain values: cl_mem,
// cl_uint, cl_ulong, ...); CL_SUCCESS or the first error.
template <typename... Values>
cl_int set_kernel_args(cl_kernel kernel, const Values&... values) {
  const OpenClApi* cl = opencl_api(nullptr);
  cl_uint index = 0;
  cl_int rc = CL_SUCCESS;
  ((rc = rc == CL_SUCCESS ? cl->SetKernelArg(kernel, index++, sizeof(Values),
                                             cl_handles_internal::arg_pointer(values))
                          : rc),
   ...);
  return rc;
}

// Keeps objects alive, unreleased, for the rest of the process: what a
// device that lost a command may still use (releasing it could wait for
// ever on a hung driver).
template <typename T>
void keep_unreleased(std::unique_ptr<T> objects) {
  static auto* kept = new std::vector<std::shared_ptr<void>>();  // never freed, never released
  kept->push_back(std::shared_ptr<void>(std::move(objects)));
}
