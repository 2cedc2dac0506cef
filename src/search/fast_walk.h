// SPDX-License-Identifier: MIT
// The fast walk of one segment: the same tests, reports and progress lines
// as test_segment (reference_walk.h), over a FastMask, with the candidates
// tested in batches by the native exponentiation kernels.
//
// Within each chunk the clear candidates are gathered, straight from the
// mask's words into the batch, and tested in batches in any order; the
// divisors found are then reported in increasing order of k, each confirmed
// with mpz_powm first, before the chunk's progress line, which names the
// chunk's largest offset that the plan's marks leave clear as the last
// candidate tested (whether the deeper marks struck it or not).
// The console and results.txt thus read exactly as the reference walk's.
// Exponents of 64 bits or more, and candidates beyond every kernel's bound,
// are tested with mpz_powm one by one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/candidate.h"
#include "core/run_state.h"
#include "kernels/kernels.h"
#include "core/thread_team.h"
#include "sieve/fast_mask.h"

class BatchTester;

// The CPU's tests of a segment's chunks, one batch tester per member of the
// team that runs them.
class CpuChunkTests {
 public:
  CpuChunkTests(const SegmentCandidates& segment, int members);
  ~CpuChunkTests();
  CpuChunkTests(const CpuChunkTests&) = delete;
  CpuChunkTests& operator=(const CpuChunkTests&) = delete;

  // The offsets in [from, to) that the mask leaves clear and whose candidate
  // divides M(p), in increasing order: the chunk is cut into one slice per
  // member (team.size() at most `members`), tested side by side.
  std::vector<std::int64_t> run(const FastMask& mask, std::int32_t from, std::int32_t to,
                                ThreadTeam& team);

 private:
  std::vector<std::unique_ptr<BatchTester>> testers_;
  std::vector<std::vector<std::int64_t>> shares_;
};

// The lines of the chunk [from, to), the chunk_index-th of the segment: the
// divisors at the offsets hits (increasing), each confirmed with mpz_powm
// and reported (console and results.txt), then the progress line, which
// names the chunk's largest offset that the plan's marks leave clear.
void report_chunk(RunState& state, const FastMask& mask, std::size_t chunk_index, std::int32_t from,
                  std::int32_t to, const std::vector<std::int64_t>& hits);
// The same with the chunk's last clear offset given (-1: none; the progress
// line then names the candidate named before).
void report_chunk_lines(RunState& state, std::int64_t last_tested,
                        const std::vector<std::int64_t>& hits);

// With a team, each chunk's offsets are cut into one slice per member and
// tested side by side; the calling thread alone then reports, so the output
// does not depend on the team's size. Without one, the caller does it all.
void test_segment_fast(RunState& state, const FastMask& mask, ThreadTeam* team = nullptr);
