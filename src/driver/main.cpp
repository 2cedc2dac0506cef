// Entry point: chooses the mode from the command line and runs it.
#include <cstdint>

#include "driver/modes.h"
#include "driver/run.h"
#include "tools/bench.h"
#include "tools/inspector.h"

// A test build may shorten the segments; the shipped program uses kSegmentK.
#ifndef TAMRISK_SEGMENT_K
#define TAMRISK_SEGMENT_K kSegmentK
#endif

int main(int argc, char** argv) {
  constexpr std::int32_t segment_length = TAMRISK_SEGMENT_K;
  static_assert(segment_length > 0 && segment_length <= kSegmentK);
  switch (parse_mode(argc, argv)) {
    case Mode::NewRun:
      return run_new(segment_length);
    case Mode::Resume:
      return run_resumed(segment_length);
    case Mode::Inspector:
      factor_depth();
      return 1;
    case Mode::Benchmark:
      bench();
      return 1;
    case Mode::Usage:
      usage();
      return 0;
  }
  return 0;
}
