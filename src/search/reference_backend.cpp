// SPDX-License-Identifier: MIT
#include "search/reference_backend.h"

#include <cassert>
#include <ctime>

#include "search/reference_walk.h"
#include "search/reports.h"
#include "sieve/small_primes.h"

ReferenceBackend::ReferenceBackend(const SmallPrimeTable& table, std::int32_t prime_count,
                                   unsigned check_bits)
    : table_(table), prime_count_(prime_count), check_bits_(check_bits) {}

void ReferenceBackend::submit(const SegmentPlan& plan) { queue_.push_back(&plan); }

SieveReport ReferenceBackend::take_sieve() {
  assert(!queue_.empty());
  const SegmentCandidates& segment = queue_.front()->candidates;
  const std::clock_t start = std::clock();
  candidate_at(mask_, first_, segment.k_first, segment.two_p, 0);  // mask_ as scratch for k
  build_candidate_mask(window_, mask_, first_, segment.two_p, segment.n);
  const std::int64_t marked = sieve_small_primes(table_, prime_count_, window_, mask_, segment.n);
  next_chunk_ = 0;
  if (queue_.front()->chunks.empty()) queue_.pop_front();  // nothing to take
  return {clock_seconds(start, std::clock()), marked};
}

ChunkReport ReferenceBackend::take_chunk() {
  assert(!queue_.empty());
  const SegmentPlan& plan = *queue_.front();
  const auto [from, to] = plan.chunks[next_chunk_];
  ChunkReport chunk = test_reference_chunk(plan.candidates, mask_, from, to, check_bits_);
  if (++next_chunk_ == plan.chunks.size()) queue_.pop_front();
  return chunk;
}
