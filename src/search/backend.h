// SPDX-License-Identifier: MIT
// What sieves and tests a run's segments for the segment loop: one small
// interface, whatever does the work (the literal GMP walk, the CPU's sieve
// and kernels on a team of threads, an OpenCL device). The loop submits
// the segments in order, at most two ahead of what it has taken back, and
// takes back, for the oldest one, its sieve report, then each chunk's
// outcome in order (core/chunks.h); every backend gives the same outcomes
// for the same segment, so what a run prints and writes does not depend on
// which one did the work.
#pragma once

#include <cstdint>
#include <vector>

#include "core/candidate.h"
#include "core/chunks.h"
#include "core/run_state.h"

// A segment as the loop plans it: its candidates and its chunks.
struct SegmentPlan {
  SegmentPlan(const RunState& state, mpz_srcptr k_first, std::int32_t n)
      : candidates(state.exponent, state.two_p, k_first, n), chunks(segment_chunks(n)) {}

  SegmentCandidates candidates;
  std::vector<Chunk> chunks;
};

// The sieve of a segment: the processor seconds it took and the marks of
// the plan's sieve (residues and the table's primes) among its N offsets.
struct SieveReport {
  float seconds = 0;
  std::int64_t marked = 0;
};

// A candidate flagged by the path that tested it (core/witness.h), its
// residue recomputed by another route: the residue's trailing zero bits.
struct Flag {
  std::int64_t offset = 0;
  unsigned zero_bits = 0;
};

// A chunk's outcome: its largest offset that the plan's marks leave clear
// (the last candidate tested, for the progress line; -1 when none), the
// offsets of the divisors found there, increasing, each confirmed by the
// integer library, and its flagged candidates, increasing, each checked.
struct ChunkReport {
  std::int64_t last_clear = -1;
  std::vector<std::int64_t> hits;
  std::vector<Flag> flags;
};

class SegmentBackend {
 public:
  virtual ~SegmentBackend() = default;

  // Queues a segment; the plan stays alive and unchanged until its last
  // chunk has been taken.
  virtual void submit(const SegmentPlan& plan) = 0;
  // The oldest queued segment's sieve report, once per segment, first.
  virtual SieveReport take_sieve() = 0;
  // Its next chunk's outcome; after its last chunk the segment is done.
  virtual ChunkReport take_chunk() = 0;
  // Called once a segment is done, while the loop writes its checkpoint:
  // a backend may start on the next queued segment here. When it does so
  // on threads of its own (works_ahead), the loop writes the records on a
  // thread beside it; otherwise one after the other.
  virtual void work_ahead() {}
  virtual bool works_ahead() const { return false; }
  // Called once after the last segment.
  virtual void finish() {}
};
