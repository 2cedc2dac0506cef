// SPDX-License-Identifier: MIT
#include "search/cpu_backend.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "core/cpu_tuning.h"
#include "core/witness.h"
#include "search/device_chunk_tests.h"
#include "search/reports.h"
#include "sieve/sieve_segment.h"

CpuBackend::CpuBackend(FastSieveContext context, int threads, unsigned check_bits)
    : team_(threads), context_(std::move(context)), check_bits_(check_bits) {}

CpuBackend::~CpuBackend() = default;

void CpuBackend::test_on_device(const DeviceRequest& request, unsigned check_bits) {
  device_ = std::make_unique<DeviceChunkTests>(request, team_, check_bits);
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
  segment.tests = std::make_unique<CpuChunkTests>(
      candidates, team_.size(), check_bits_,
      gmp_only_ ? std::optional<Kernel>(Kernel::Gmp) : std::nullopt);
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

std::string CpuBackend::check(const Queued& segment, const RangeTests& found,
                              std::vector<Flag>& flags) {
  const SegmentCandidates& candidates = segment.plan->candidates;
  const bool own_route = segment.tests->kernel() == Kernel::Gmp;  // nothing else to ask
  for (const std::int64_t offset : found.hits) {
    if (!own_route && !candidates.divides(offset)) {
      BigInt k, d;
      candidate_at(k, d, candidates.k_first, candidates.two_p, offset);
      return "it named a divisor that is none (" + to_decimal(d) + ")";
    }
  }
  flags.clear();
  BigInt r;
  for (const std::int64_t offset : found.flagged) {
    candidates.residue(r, offset);
    const auto zero_bits = static_cast<unsigned>(mpz_scan1(r, 0));
    if (zero_bits < found.flag_bits) {
      BigInt k, d;
      candidate_at(k, d, candidates.k_first, candidates.two_p, offset);
      return "the residue it gave for k = " + to_decimal(k) + " is wrong";
    }
    flags.push_back({offset, zero_bits});
  }
  return "";
}

void CpuBackend::leave_kernel(Queued& segment, const std::string& why, std::int64_t from) {
  const SegmentCandidates& candidates = segment.plan->candidates;
  BigInt k;
  mpz_add_ui(k, candidates.k_first, static_cast<unsigned long>(from));
  std::fprintf(stderr, "tamrisk: CPU kernel %s: %s; testing with GMP from k = %s\n",
               std::string(kernel_name(segment.tests->kernel())).c_str(), why.c_str(),
               to_decimal(k).c_str());
  gmp_only_ = true;
  segment.tests =
      std::make_unique<CpuChunkTests>(candidates, team_.size(), check_bits_, Kernel::Gmp);
}

void CpuBackend::split(const Queued& segment, std::size_t first, std::size_t last,
                       const RangeTests& found, const std::vector<Flag>& flags) {
  const std::vector<Chunk>& chunks = segment.plan->chunks;
  std::size_t h = 0, f = 0;
  for (std::size_t c = first; c <= last; ++c) {
    ChunkReport out;
    const auto [from, to] = chunks[c];
    out.last_clear =
        c < mask_.plan_last.size() ? mask_.plan_last[c] : fast_last_clear(mask_, from, to);
    for (; h < found.hits.size() && found.hits[h] < to; ++h) out.hits.push_back(found.hits[h]);
    for (; f < flags.size() && flags[f].offset < to; ++f) out.flags.push_back(flags[f]);
    ready_.push_back(std::move(out));
  }
}

void CpuBackend::test_round(Queued& segment) {
  const std::vector<Chunk>& chunks = segment.plan->chunks;
  const std::size_t first = segment.next_chunk;
  // A large team tests several chunks a round, so that the rounds (each
  // ends in a barrier of every member) stay few.
  const std::size_t per_round =
      std::max<std::size_t>(1, static_cast<std::size_t>(team_.size() / kMembersPerChunk));
  const std::size_t last = std::min(chunks.size(), first + per_round) - 1;
  const auto run = [&] {
    return segment.tests->run(mask_, chunks[first].first, chunks[last].second, team_);
  };
  RangeTests found = run();
  std::vector<Flag> flags;
  std::string fault = check(segment, found, flags);
  segment.tested += found.tested;
  segment.flagged += static_cast<std::int64_t>(found.flagged.size());
  if (fault.empty() && last + 1 == chunks.size() && segment.tests->kernel() != Kernel::Gmp) {
    // The segment's count of flags: far too few is a kernel that computes
    // wrong residues (which seldom end in zeros by chance).
    const double expected =
        std::ldexp(static_cast<double>(segment.tested), -static_cast<int>(check_bits_));
    if (far_too_few(static_cast<double>(segment.flagged), expected, kLeastExpectedFlags)) {
      char text[128];
      std::snprintf(text, sizeof text, "it flagged %lld residues where about %.0f were due",
                    static_cast<long long>(segment.flagged), expected);
      fault = text;
    }
  }
  if (!fault.empty()) {
    leave_kernel(segment, fault, chunks[first].first);
    found = run();
    check(segment, found, flags);
  }
  split(segment, first, last, found, flags);
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
  const RangeTests found = device_->take();
  std::vector<Flag> flags;
  const std::string fault = check(segment, found, flags);
  if (!fault.empty()) {
    // What came back from the CPU's kernel (the device's own results are
    // checked where they arrive): the chunk again with GMP.
    leave_kernel(segment, fault, chunks[c].first);
    const RangeTests again = segment.tests->run(mask_, chunks[c].first, chunks[c].second, team_);
    check(segment, again, flags);
    split(segment, c, c, again, flags);
    return;
  }
  split(segment, c, c, found, flags);
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
