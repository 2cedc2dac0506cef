// SPDX-License-Identifier: MIT
// The OpenCL library, loaded at run time: the program links no OpenCL, so it
// starts and searches on the CPU where none is installed. The first call
// opens libOpenCL.so.1 (the ICD loader, which finds the vendors' drivers)
// and looks up every function below; later calls return the same table.
// Only the OpenCL headers are needed to build this.
#pragma once

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <string>

struct OpenClApi {
  decltype(&::clGetPlatformIDs) GetPlatformIDs;
  decltype(&::clGetPlatformInfo) GetPlatformInfo;
  decltype(&::clGetDeviceIDs) GetDeviceIDs;
  decltype(&::clGetDeviceInfo) GetDeviceInfo;
  decltype(&::clCreateContext) CreateContext;
  decltype(&::clReleaseContext) ReleaseContext;
  decltype(&::clCreateCommandQueue) CreateCommandQueue;
  decltype(&::clReleaseCommandQueue) ReleaseCommandQueue;
  decltype(&::clCreateProgramWithSource) CreateProgramWithSource;
  decltype(&::clBuildProgram) BuildProgram;
  decltype(&::clGetProgramBuildInfo) GetProgramBuildInfo;
  decltype(&::clReleaseProgram) ReleaseProgram;
  decltype(&::clCreateKernel) CreateKernel;
  decltype(&::clGetKernelWorkGroupInfo) GetKernelWorkGroupInfo;
  decltype(&::clSetKernelArg) SetKernelArg;
  decltype(&::clReleaseKernel) ReleaseKernel;
  decltype(&::clCreateBuffer) CreateBuffer;
  decltype(&::clReleaseMemObject) ReleaseMemObject;
  decltype(&::clEnqueueMapBuffer) EnqueueMapBuffer;
  decltype(&::clEnqueueUnmapMemObject) EnqueueUnmapMemObject;
  decltype(&::clEnqueueWriteBuffer) EnqueueWriteBuffer;
  decltype(&::clEnqueueReadBuffer) EnqueueReadBuffer;
  decltype(&::clEnqueueNDRangeKernel) EnqueueNDRangeKernel;
  decltype(&::clGetEventInfo) GetEventInfo;
  decltype(&::clGetEventProfilingInfo) GetEventProfilingInfo;
  decltype(&::clReleaseEvent) ReleaseEvent;
  decltype(&::clFlush) Flush;
  decltype(&::clFinish) Finish;
};

// The table, or nullptr when the library cannot be loaded or lacks one of
// the functions; *why then says which (the loader's own message).
const OpenClApi* opencl_api(std::string* why);

// "CL_OUT_OF_RESOURCES" for -5, and so on; "error N" for codes it does not know.
std::string cl_error_name(cl_int code);
