// SPDX-License-Identifier: MIT
// The CPU kernels' tests of a sieved segment's chunks: the clear offsets of
// a range of the fast mask gathered straight from its words into batches of
// native candidates and tested by the exponentiation kernel chosen for the
// segment's size (kernels.h), or one by one with mpz_powm where the segment
// is not native (an exponent of 64 bits or more, candidates beyond 128).
// The range is cut into one slice per member of a thread team, tested side
// by side.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/candidate.h"
#include "core/thread_team.h"
#include "sieve/fast_mask.h"

class BatchTester;

// One batch tester per member of the team that runs the tests.
class CpuChunkTests {
 public:
  CpuChunkTests(const SegmentCandidates& segment, int members);
  ~CpuChunkTests();
  CpuChunkTests(const CpuChunkTests&) = delete;
  CpuChunkTests& operator=(const CpuChunkTests&) = delete;

  // The offsets in [from, to) that the mask leaves clear and whose candidate
  // the kernel finds to divide M(p), in increasing order (team.size() at
  // most `members`).
  std::vector<std::int64_t> run(const FastMask& mask, std::int32_t from, std::int32_t to,
                                ThreadTeam& team);

 private:
  std::vector<std::unique_ptr<BatchTester>> testers_;
  std::vector<std::vector<std::int64_t>> shares_;
};
