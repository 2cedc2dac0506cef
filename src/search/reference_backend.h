// SPDX-License-Identifier: MIT
// The reference backend: each segment sieved and tested as literally as
// possible, on the calling thread alone: the window and the mask as big
// integers (sieve/candidate_mask.h, sieve/small_primes.h), then one
// mpz_powm per clear candidate (reference_walk.h). Slow, and the measure of
// every other backend.
#pragma once

#include <cstdint>
#include <deque>

#include "core/big_int.h"
#include "core/witness.h"
#include "search/backend.h"
#include "sieve/candidate_mask.h"
#include "sieve/prime_table.h"

class ReferenceBackend final : public SegmentBackend {
 public:
  // The table and the plan's count of its primes stay as they are for the run.
  // check_bits: the flags' bits (core/witness.h).
  ReferenceBackend(const SmallPrimeTable& table, std::int32_t prime_count,
                   unsigned check_bits = kCpuCheckBits);

  void submit(const SegmentPlan& plan) override;
  SieveReport take_sieve() override;
  ChunkReport take_chunk() override;

 private:
  const SmallPrimeTable& table_;
  std::int32_t prime_count_;
  unsigned check_bits_;
  std::deque<const SegmentPlan*> queue_;
  std::size_t next_chunk_ = 0;  // of the oldest segment
  // 66000 big integers and a mask of up to 128 MB: built anew each segment.
  CandidateWindow window_;
  BigInt mask_, first_;
};
