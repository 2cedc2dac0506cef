// SPDX-License-Identifier: MIT
// The segment loop of a run: full_segments segments of segment_length values
// of k, then one final segment of last_segment_size values (also when that is
// 0); no segment at all when full_segments is negative.
//
// Per segment: "\nReinitializing sieve\n", the sieve report, each chunk's
// divisors (console and results.txt, in increasing k) and progress line, then
// the checkpoint. Segments follow one another without gap or overlap: each
// starts at k_first, the first k not yet covered, and the next at k_first +
// N. The checkpoint after each segment (the final one included) holds that
// next k_first; a checkpoint that cannot be written sets record_failed and
// the run goes on. state.k and state.d keep naming the last candidate
// tested.
//
// The backend does the work (backend.h); the loop keeps it at most two
// segments ahead, and writes every line and every checkpoint itself, in
// order: a segment's lines wait for the checkpoint before it, so a kill
// loses at most the segment under way. For a backend that works ahead on
// threads of its own, the checkpoint is written by a thread beside the loop
// while the backend starts on the next segment.
//
// With a witness record (records/witnesses.h), each segment's witnesses go
// into it (witness_log.h) and the record, moved on to the segment's end, is
// written to witnesses.txt just before the checkpoint; without one, no
// witness list is kept.
//
// Requires the plan (k_first, full_segments, last_segment_size, two_p) and
// sieve_prime_count to be set. Changes segment_size, full_segments (+1 for
// the final segment), segment_index, k_first, k, d and factor_found.
#pragma once

#include <cstdint>
#include <functional>

#include "core/run_state.h"
#include "records/witnesses.h"
#include "search/backend.h"

// after_segment, when given, is called with the state once each segment's
// checkpoint has been written.
using SegmentObserver = std::function<void(const RunState&)>;
void run_segments(RunState& state, SegmentBackend& backend, std::int32_t segment_length,
                  const SegmentObserver& after_segment = {}, WitnessRecord* witnesses = nullptr);
