# SPDX-License-Identifier: MIT
# Turns known-factors.tsv into a C++ table, so that tamrisk-selftest carries
# its known answers inside the binary and needs no data file once installed.
# usage: cmake -DINPUT=known-factors.tsv -DOUTPUT=known_factors_table.cpp -P embed-known-factors.cmake
#
# Each data line is "bits<TAB>p<TAB>k<TAB>d". p and k fit in 64 bits and are
# written as integer literals; d (up to 95 bits) as a decimal string, which
# the program reads back and the tests hold to 2kp + 1. A line of any other
# shape stops the build, naming the file and the line.
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "embed-known-factors.cmake: INPUT and OUTPUT must be set")
endif()

file(STRINGS "${INPUT}" lines)
set(body "")
set(count 0)
set(line_number 0)
foreach(line IN LISTS lines)
  math(EXPR line_number "${line_number} + 1")
  # Comments and the column header carry no row.
  if(line MATCHES "^#" OR line MATCHES "^bits\tp\tk\td$")
    continue()
  endif()
  if(NOT line MATCHES "^([0-9]+)\t([0-9]+)\t([0-9]+)\t([0-9]+)$")
    message(FATAL_ERROR "${INPUT}:${line_number}: not four whole numbers (bits, p, k, d): '${line}'")
  endif()
  string(APPEND body "    {${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}ULL, ${CMAKE_MATCH_3}ULL, \"${CMAKE_MATCH_4}\"},\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${INPUT}: no rows")
endif()

file(WRITE "${OUTPUT}"
"// Generated from data/known-factors.tsv by data/embed-known-factors.cmake: do not edit.
#include \"tools/known_factors.h\"

namespace {

constexpr KnownFactor kRows[${count}] = {
${body}};

}  // namespace

std::span<const KnownFactor> known_factors() { return kRows; }
")
