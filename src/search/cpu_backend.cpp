// SPDX-License-Identifier: MIT
#include "search/cpu_backend.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <ctime>
#include <utility>

#include "core/cpu_tuning.h"
#include "search/device_chunk_tests.h"
#include "search/reports.h"
#include "sieve/sieve_segment.h"

CpuBackend::CpuBackend(FastSieveContext context, int threads)
    : team_(threads), context_(std::move(context)) {}

CpuBackend::~CpuBackend() = default;

void CpuBackend::test_on_device(const DeviceRequest& request) {
  device_ = std::make_unique<DeviceChunkTests>(request, team_);
}

void CpuBackend::submit(const SegmentPlan& plan) {
  Queued queued;
  queued.plan = &plan;
  queue_.push_back(std::move(queued));
}

void CpuBackend::sieve(Queued& segment) {
  const SegmentCandidates& candidates = segment.plan->candidates;
  const std::clock_t start = std::clock();
  // The count printed is the plan's marks'; the deeper ones only skip tests.
  segment.sieve.marked = sieve_segment(mask_, context_, candidates.k_first, candidates.n, team_);
  segment.sieve.seconds = clock_seconds(start, std::clock());
  segment.sieved = true;
  segment.tests = std::make_unique<CpuChunkTests>(candidates, team_.size());
}

SieveReport CpuBackend::take_sieve() {
  assert(!queue_.empty());
  Queued& segment = queue_.front();
  if (!segment.sieved) sieve(segment);
  const SieveReport report = segment.sieve;
  if (segment.plan->chunks.empty()) queue_.pop_front();  // nothing to take
  return report;
}

void CpuBackend::work_ahead() {
  // The segment before is done, so the mask is free for the next one.
  if (!queue_.empty() && !queue_.front().sieved) sieve(queue_.front());
}

void CpuBackend::finish() {
  if (device_ != nullptr) device_->finish();
}

ChunkReport CpuBackend::outcome(const Queued& segment, std::size_t chunk,
                                std::vector<std::int64_t> hits) {
  ChunkReport out;
  const auto [from, to] = segment.plan->chunks[chunk];
  out.last_clear =
      chunk < mask_.plan_last.size() ? mask_.plan_last[chunk] : fast_last_clear(mask_, from, to);
  // An independent check before anything is recorded: the kernel's verdict
  // must agree with the integer library's.
  for (const std::int64_t offset : hits) {
    if (segment.plan->candidates.divides(offset)) {
      out.hits.push_back(offset);
    } else {
      std::fprintf(stderr, "internal error: a kernel reported a divisor that is none\n");
    }
  }
  return out;
}

void CpuBackend::test_round(Queued& segment) {
  const std::vector<Chunk>& chunks = segment.plan->chunks;
  const std::size_t first = segment.next_chunk;
  // A large team tests several chunks a round, so that the rounds (each
  // ends in a barrier of every member) stay few.
  const std::size_t per_round =
      std::max<std::size_t>(1, static_cast<std::size_t>(team_.size() / kMembersPerChunk));
  const std::size_t last = std::min(chunks.size(), first + per_round) - 1;
  const std::vector<std::int64_t> found =
      segment.tests->run(mask_, chunks[first].first, chunks[last].second, team_);
  std::size_t h = 0;
  for (std::size_t c = first; c <= last; ++c) {
    std::vector<std::int64_t> hits;
    for (; h < found.size() && found[h] < chunks[c].second; ++h) hits.push_back(found[h]);
    ready_.push_back(outcome(segment, c, std::move(hits)));
  }
}

void CpuBackend::test_chunk_on_device(Queued& segment) {
  // Two chunks with the device at a time: the next is gathered and queued
  // before this one is taken.
  const std::vector<Chunk>& chunks = segment.plan->chunks;
  const std::size_t c = segment.next_chunk;
  const SegmentCandidates& candidates = segment.plan->candidates;
  if (c == 0) device_->submit(mask_, candidates, *segment.tests, chunks[0].first, chunks[0].second);
  if (c + 1 < chunks.size()) {
    device_->submit(mask_, candidates, *segment.tests, chunks[c + 1].first, chunks[c + 1].second);
  }
  ready_.push_back(outcome(segment, c, device_->take()));
}

ChunkReport CpuBackend::take_chunk() {
  assert(!queue_.empty());
  Queued& segment = queue_.front();
  if (!segment.sieved) sieve(segment);
  if (ready_.empty()) {
    if (device_ != nullptr) {
      test_chunk_on_device(segment);
    } else {
      test_round(segment);
    }
  }
  ChunkReport out = std::move(ready_.front());
  ready_.pop_front();
  if (++segment.next_chunk == segment.plan->chunks.size()) queue_.pop_front();
  return out;
}
