// SPDX-License-Identifier: MIT
// The CPU kernels' tests of a sieved segment's chunks: the clear offsets of
// a range of the fast mask gathered straight from its words into batches of
// native candidates and tested by the exponentiation kernel chosen for the
// segment's size (kernels.h), or one by one with mpz_powm where the segment
// is not native (an exponent of 64 bits or more, candidates beyond 128).
// The range is cut into one slice per member of a thread team, tested side
// by side. Each test also flags the candidates whose residue's low
// check_bits bits are zero (core/witness.h), for the caller to check.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/candidate.h"
#include "core/thread_team.h"
#include "kernels/kernels.h"
#include "sieve/fast_mask.h"

class BatchTester;

// What the tests of a range found: the offsets whose candidate the kernel
// finds to divide M(p) and those it flags, each increasing, and the number
// of candidates tested.
struct RangeTests {
  std::vector<std::int64_t> hits, flagged;
  std::int64_t tested = 0;
  unsigned flag_bits = 0;  // the zero bits each flagged residue ends in
};

// One batch tester per member of the team that runs the tests.
class CpuChunkTests {
 public:
  // kernel: the one the segment's size chooses, or one forced; Gmp means
  // mpz_powm one candidate at a time (as where the segment is not native),
  // the integer library's own route, whatever the kernels do.
  // check_bits: the flags' bits (kCpuCheckBits in a run).
  CpuChunkTests(const SegmentCandidates& segment, int members, unsigned check_bits,
                std::optional<Kernel> kernel = std::nullopt);
  ~CpuChunkTests();
  CpuChunkTests(const CpuChunkTests&) = delete;
  CpuChunkTests& operator=(const CpuChunkTests&) = delete;

  // The tests of the offsets in [from, to) that the mask leaves clear
  // (team.size() at most `members`).
  RangeTests run(const FastMask& mask, std::int32_t from, std::int32_t to, ThreadTeam& team);

  Kernel kernel() const { return kernel_; }

 private:
  Kernel kernel_;
  unsigned check_bits_;
  std::vector<std::unique_ptr<BatchTester>> testers_;
  std::vector<RangeTests> shares_;
};
