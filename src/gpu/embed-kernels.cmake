# SPDX-License-Identifier: MIT
# Writes OUTPUT, a C++ file defining kOpenClKernelSource: the text of INPUT
# (kernels.cl) with each line '#include "NAME"' replaced by the file NAME
# beside it, so that the program carries the whole OpenCL source.
# cmake -DINPUT=kernels.cl -DOUTPUT=file.cpp -P embed-kernels.cmake
get_filename_component(dir "${INPUT}" DIRECTORY)
file(READ "${INPUT}" text)
string(REGEX MATCHALL "#include \"[^\"\n]+\"" includes "${text}")
list(REMOVE_DUPLICATES includes)
foreach(include IN LISTS includes)
  string(REGEX REPLACE "^#include \"(.*)\"$" "\\1" name "${include}")
  file(READ "${dir}/${name}" included)
  string(REPLACE "${include}" "${included}" text "${text}")
endforeach()
string(FIND "${text}" ")tamrisk_cl\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT}: the text holds the raw string's closing delimiter")
endif()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by embed-kernels.cmake: do not edit.\n"
  "#include \"gpu/kernel_source.h\"\n\n"
  "extern const char kOpenClKernelSource[] = R\"tamrisk_cl(${text})tamrisk_cl\";\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
