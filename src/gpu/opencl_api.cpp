// SPDX-License-Identifier: MIT
#include "gpu/opencl_api.h"

#include <dlfcn.h>

namespace {

struct Loaded {
  OpenClApi api{};
  bool ok = false;
  std::string why;
};

// Looks up one function; false (with the reason) when it is missing.
template <typename Fn>
bool resolve(void* library, const char* name, Fn& out, std::string& why) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    why = std::string("libOpenCL.so.1 lacks ") + name;
    return false;
  }
  out = reinterpret_cast<Fn>(symbol);
  return true;
}

Loaded load() {
  Loaded out;
  // The handle stays open for the life of the process: the drivers that
  // the loader brings in keep threads and state of their own.
  void* library = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* message = dlerror();
    out.why = message != nullptr ? message : "libOpenCL.so.1 cannot be loaded";
    return out;
  }
  OpenClApi& a = out.api;
  std::string& w = out.why;
  out.ok = resolve(library, "clGetPlatformIDs", a.GetPlatformIDs, w) &&
           resolve(library, "clGetPlatformInfo", a.GetPlatformInfo, w) &&
           resolve(library, "clGetDeviceIDs", a.GetDeviceIDs, w) &&
           resolve(library, "clGetDeviceInfo", a.GetDeviceInfo, w) &&
           resolve(library, "clCreateContext", a.CreateContext, w) &&
           resolve(library, "clReleaseContext", a.ReleaseContext, w) &&
           resolve(library, "clCreateCommandQueue", a.CreateCommandQueue, w) &&
           resolve(library, "clReleaseCommandQueue", a.ReleaseCommandQueue, w) &&
           resolve(library, "clCreateProgramWithSource", a.CreateProgramWithSource, w) &&
           resolve(library, "clBuildProgram", a.BuildProgram, w) &&
           resolve(library, "clGetProgramBuildInfo", a.GetProgramBuildInfo, w) &&
           resolve(library, "clReleaseProgram", a.ReleaseProgram, w) &&
           resolve(library, "clCreateKernel", a.CreateKernel, w) &&
           resolve(library, "clGetKernelWorkGroupInfo", a.GetKernelWorkGroupInfo, w) &&
           resolve(library, "clSetKernelArg", a.SetKernelArg, w) &&
           resolve(library, "clReleaseKernel", a.ReleaseKernel, w) &&
           resolve(library, "clCreateBuffer", a.CreateBuffer, w) &&
           resolve(library, "clReleaseMemObject", a.ReleaseMemObject, w) &&
           resolve(library, "clEnqueueMapBuffer", a.EnqueueMapBuffer, w) &&
           resolve(library, "clEnqueueUnmapMemObject", a.EnqueueUnmapMemObject, w) &&
           resolve(library, "clEnqueueWriteBuffer", a.EnqueueWriteBuffer, w) &&
           resolve(library, "clEnqueueReadBuffer", a.EnqueueReadBuffer, w) &&
           resolve(library, "clEnqueueNDRangeKernel", a.EnqueueNDRangeKernel, w) &&
           resolve(library, "clGetEventInfo", a.GetEventInfo, w) &&
           resolve(library, "clGetEventProfilingInfo", a.GetEventProfilingInfo, w) &&
           resolve(library, "clReleaseEvent", a.ReleaseEvent, w) &&
           resolve(library, "clFlush", a.Flush, w) && resolve(library, "clFinish", a.Finish, w);
  return out;
}

}  // namespace

const OpenClApi* opencl_api(std::string* why) {
  static const Loaded loaded = load();
  if (!loaded.ok) {
    if (why != nullptr) *why = loaded.why;
    return nullptr;
  }
  return &loaded.api;
}

std::string cl_error_name(cl_int code) {
  switch (code) {
#define TAMRISK_CL_ERROR(name) \
  case name:                   \
    return #name;
    TAMRISK_CL_ERROR(CL_DEVICE_NOT_FOUND)
    TAMRISK_CL_ERROR(CL_DEVICE_NOT_AVAILABLE)
    TAMRISK_CL_ERROR(CL_COMPILER_NOT_AVAILABLE)
    TAMRISK_CL_ERROR(CL_MEM_OBJECT_ALLOCATION_FAILURE)
    TAMRISK_CL_ERROR(CL_OUT_OF_RESOURCES)
    TAMRISK_CL_ERROR(CL_OUT_OF_HOST_MEMORY)
    TAMRISK_CL_ERROR(CL_PROFILING_INFO_NOT_AVAILABLE)
    TAMRISK_CL_ERROR(CL_BUILD_PROGRAM_FAILURE)
    TAMRISK_CL_ERROR(CL_MAP_FAILURE)
    TAMRISK_CL_ERROR(CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST)
    TAMRISK_CL_ERROR(CL_INVALID_VALUE)
    TAMRISK_CL_ERROR(CL_INVALID_DEVICE_TYPE)
    TAMRISK_CL_ERROR(CL_INVALID_PLATFORM)
    TAMRISK_CL_ERROR(CL_INVALID_DEVICE)
    TAMRISK_CL_ERROR(CL_INVALID_CONTEXT)
    TAMRISK_CL_ERROR(CL_INVALID_COMMAND_QUEUE)
    TAMRISK_CL_ERROR(CL_INVALID_MEM_OBJECT)
    TAMRISK_CL_ERROR(CL_INVALID_BINARY)
    TAMRISK_CL_ERROR(CL_INVALID_BUILD_OPTIONS)
    TAMRISK_CL_ERROR(CL_INVALID_PROGRAM)
    TAMRISK_CL_ERROR(CL_INVALID_PROGRAM_EXECUTABLE)
    TAMRISK_CL_ERROR(CL_INVALID_KERNEL_NAME)
    TAMRISK_CL_ERROR(CL_INVALID_KERNEL)
    TAMRISK_CL_ERROR(CL_INVALID_ARG_INDEX)
    TAMRISK_CL_ERROR(CL_INVALID_ARG_VALUE)
    TAMRISK_CL_ERROR(CL_INVALID_ARG_SIZE)
    TAMRISK_CL_ERROR(CL_INVALID_KERNEL_ARGS)
    TAMRISK_CL_ERROR(CL_INVALID_WORK_DIMENSION)
    TAMRISK_CL_ERROR(CL_INVALID_WORK_GROUP_SIZE)
    TAMRISK_CL_ERROR(CL_INVALID_WORK_ITEM_SIZE)
    TAMRISK_CL_ERROR(CL_INVALID_GLOBAL_OFFSET)
    TAMRISK_CL_ERROR(CL_INVALID_EVENT_WAIT_LIST)
    TAMRISK_CL_ERROR(CL_INVALID_EVENT)
    TAMRISK_CL_ERROR(CL_INVALID_OPERATION)
    TAMRISK_CL_ERROR(CL_INVALID_BUFFER_SIZE)
    TAMRISK_CL_ERROR(CL_INVALID_GLOBAL_WORK_SIZE)
#undef TAMRISK_CL_ERROR
    case -1001:
      return "CL_PLATFORM_NOT_FOUND_KHR (no OpenCL driver installed)";
    default:
      return "error " + std::to_string(code);
  }
}
