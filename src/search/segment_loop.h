// SPDX-License-Identifier: MIT
// The segment loop of a run: full_segments segments of segment_length values
// of k, then one final segment of last_segment_size values (also when that is
// 0); no segment at all when full_segments is negative.
//
// Per segment: "\nReinitializing sieve\n", the candidate mask with its residue
// and small-prime marks and the sieve report, the tests of the clear
// candidates, then the checkpoint. Segments follow one another without gap or
// overlap: each starts at k_first, the first k not yet covered, and the next
// at k_first + N; its window is built from 2 k_first p + 1. The checkpoint
// after each segment (the final one included) holds that next k_first; a
// checkpoint that cannot be written sets record_failed and the run goes on.
// state.k and state.d keep naming the last candidate tested.
//
// Requires the plan (k_first, full_segments, last_segment_size, two_p) and
// sieve_prime_count to be set. Changes segment_size, full_segments (+1 for
// the final segment), segment_index, k_first, k, d and factor_found.
#pragma once

#include <cstdint>
#include <functional>

#include "core/run_state.h"
#include "gpu/device_request.h"
#include "sieve/prime_table.h"

// How each segment is sieved and tested. Both give the same console output,
// results and checkpoints; the reference path is the literal GMP one (a
// mask as one big integer, one mpz_powm per candidate) that the fast path
// (fast_mask.h, fast_walk.h) is checked against.
enum class SearchPath { Fast, Reference };

// after_segment, when given, is called with the state once each segment's
// checkpoint has been written. The fast path sieves and tests each segment
// with `threads` threads (>= 1), made once for the run, and tests on the
// OpenCL device that `device` asks for (opencl_walk.h); what it prints and
// writes is the same for every number of threads and every device. The
// reference path always runs on the calling thread alone.
//
// On a device the whole segment is sieved and tested there (OnDevice, what
// a run does), or the CPU threads sieve and the device tests each chunk
// (OnCpu: the first step's path, kept for comparisons and as the tests'
// second way to the same bytes).
using SegmentObserver = std::function<void(const RunState&)>;
enum class DeviceSieve { OnDevice, OnCpu };
void run_segments(RunState& state, const SmallPrimeTable& table, std::int32_t segment_length,
                  const SegmentObserver& after_segment = {},
                  SearchPath path = SearchPath::Fast, int threads = 1,
                  const DeviceRequest& device = DeviceRequest{DeviceRequest::Kind::Cpu},
                  DeviceSieve sieve = DeviceSieve::OnDevice);
