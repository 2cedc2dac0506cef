// SPDX-License-Identifier: MIT
#include "search/device_backend.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/witness.h"
#include "gpu/device_tuning.h"
#include "search/flag_check.h"
#include "search/reports.h"

DeviceBackend::DeviceBackend(const DeviceRequest& request, const SmallPrimeTable& table,
                             std::int32_t prime_count, mpz_srcptr p,
                             std::unique_ptr<CpuBackend> cpu, unsigned check_bits)
    : use_(request), cpu_(std::move(cpu)), check_bits_(check_bits) {
  prepare_fast_sieve(device_primes_, table, prime_count, p, kDeviceDeepSieveBound);
}

DeviceBackend::~DeviceBackend() = default;

OpenClSegments* DeviceBackend::segments() {
  OpenClDevice* device = use_.device();
  if (device == nullptr) return nullptr;
  if (segments_ == nullptr) segments_ = std::make_unique<OpenClSegments>(*device);
  return segments_.get();
}

void DeviceBackend::submit(const SegmentPlan& plan) {
  Queued queued;
  queued.plan = &plan;
  queued.queued = std::clock();
  const SegmentCandidates& candidates = plan.candidates;
  const bool fits = candidates.native && candidates.max_bits <= OpenClDevice::kMaxBits;
  OpenClSegments* device = fits ? segments() : nullptr;
  // From a failure on, the CPU does every segment whose results are not in,
  // the oldest queued one first.
  mpz_srcptr oldest =
      queue_.empty() ? candidates.k_first.get() : queue_.front().plan->candidates.k_first.get();
  if (device != nullptr && !loaded_) {
    loaded_ = true;
    if (!device->load_primes(device_primes_)) {
      use_.give_up(oldest, use_.opened()->failure());
      device = nullptr;
    }
  }
  if (device != nullptr) {
    DeviceSegmentJob job = segment_job(device_primes_, candidates, plan.chunks);
    job.check_bits = check_bits_;
    // A deeper prime far beyond the segment marks a candidate or none per
    // region, which does not pay for working out where: those above a
    // share of the segment's offsets (and the block size) are left out.
    job.deep_bound = static_cast<std::uint32_t>(std::max<std::int64_t>(
        kSieveBlockBits, std::int64_t{candidates.n} / kDeepBoundSegmentShare));
    if (device->submit(next_slot_, job)) {
      queued.slot = next_slot_;
      next_slot_ = 1 - next_slot_;
    } else {
      use_.give_up(oldest, use_.opened()->failure());
    }
  }
  queue_.push_back(queued);
}

void DeviceBackend::to_cpu(Queued& segment) {
  if (segment.with_cpu) return;
  segment.with_cpu = true;
  cpu_->submit(*segment.plan);
}

bool DeviceBackend::collect(Queued& segment) {
  OpenClSegments* device = segment.slot < 0 ? nullptr : segments();
  if (device == nullptr) return false;
  const SegmentCandidates& candidates = segment.plan->candidates;
  const DeviceCollected collected = device->collect(segment.slot, result_);
  if (collected == DeviceCollected::Failed) {
    use_.give_up(candidates.k_first, use_.opened()->failure());
    return false;
  }
  // The flags it raised, each residue recomputed by the CPU's fastest
  // kernel: a device whose residues are wrong is trusted with nothing more.
  const std::int64_t wrong = check_flags(candidates, result_.flags, check_bits_, flags_);
  if (wrong >= 0) {
    BigInt k;
    mpz_add_ui(k, candidates.k_first, static_cast<unsigned long>(wrong));
    use_.give_up(candidates.k_first, "the residue it gave for k = " + to_decimal(k) + " is wrong");
    return false;
  }
  // More divisors than the device returns (only degenerate exponents), or
  // more flags than it had room for: the CPU's segment.
  if (collected == DeviceCollected::Overflow) return false;
  // And their number: far too few is a device whose residues are wrong
  // (they seldom end in zeros by chance), or that flags none.
  const double expected =
      std::ldexp(static_cast<double>(result_.tested), -static_cast<int>(check_bits_));
  if (far_too_few(static_cast<double>(result_.flag_count), expected, kLeastExpectedFlags)) {
    char text[128];
    std::snprintf(text, sizeof text, "it flagged %u residues where about %.0f were due",
                  result_.flag_count, expected);
    use_.give_up(candidates.k_first, text);
    return false;
  }
  std::sort(result_.hits.begin(), result_.hits.end());
  // Each divisor the device names is confirmed here: a device that names
  // one that is none is trusted with nothing more.
  for (const std::uint32_t offset : result_.hits) {
    if (offset >= static_cast<std::uint32_t>(candidates.n) || !candidates.divides(offset)) {
      BigInt k, d;
      candidate_at(k, d, candidates.k_first, candidates.two_p, offset);
      use_.give_up(candidates.k_first, "it named a divisor that is none (" + to_decimal(d) + ")");
      return false;
    }
  }
  return true;
}

void DeviceBackend::trial(Queued& segment) {
  // The CPU's outcomes, timed, beside the device's.
  const auto start = std::chrono::steady_clock::now();
  to_cpu(segment);
  const SieveReport sieve = cpu_->take_sieve();
  bool agree = sieve.marked == result_.marked;
  std::vector<std::int64_t> hits;
  const std::vector<Chunk>& chunks = segment.plan->chunks;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    ChunkReport chunk = cpu_->take_chunk();
    agree = agree && c < result_.last.size() && chunk.last_clear == result_.last[c];
    hits.insert(hits.end(), chunk.hits.begin(), chunk.hits.end());
    ready_.push_back(std::move(chunk));
  }
  agree = agree && std::equal(hits.begin(), hits.end(), result_.hits.begin(), result_.hits.end());
  const double cpu_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!agree) {
    use_.give_up(segment.plan->candidates.k_first, "its sieve or tests differ from the CPU's");
  } else {
    use_.verdict(use_.opened()->take_busy_seconds() > cpu_seconds);
  }
  ready_sieve_ = sieve;
}

SieveReport DeviceBackend::take_sieve() {
  assert(!queue_.empty() && ready_.empty());
  Queued& segment = queue_.front();
  segment.next_chunk = 0;
  const bool on_trial = use_.on_trial();
  SieveReport report;
  if (!segment.with_cpu && collect(segment)) {
    if (on_trial) {
      trial(segment);
      report = ready_sieve_;
    } else {
      report = {clock_seconds(segment.queued, std::clock()), result_.marked};
      std::size_t h = 0, f = 0;
      for (std::size_t c = 0; c < segment.plan->chunks.size(); ++c) {
        ChunkReport chunk;
        chunk.last_clear = c < result_.last.size() ? result_.last[c] : -1;
        const std::int64_t to = segment.plan->chunks[c].second;
        for (; f < flags_.size() && flags_[f].offset < to; ++f) chunk.flags.push_back(flags_[f]);
        for (; h < result_.hits.size() &&
               static_cast<std::int64_t>(result_.hits[h]) < segment.plan->chunks[c].second;
             ++h) {
          chunk.hits.push_back(result_.hits[h]);
        }
        ready_.push_back(std::move(chunk));
      }
    }
  } else {
    to_cpu(segment);
    report = cpu_->take_sieve();
  }
  if (segment.plan->chunks.empty()) queue_.pop_front();  // nothing to take
  return report;
}

ChunkReport DeviceBackend::take_chunk() {
  assert(!queue_.empty());
  Queued& segment = queue_.front();
  ChunkReport out;
  if (!ready_.empty()) {
    out = std::move(ready_.front());
    ready_.pop_front();
  } else {
    out = cpu_->take_chunk();
  }
  if (++segment.next_chunk == segment.plan->chunks.size()) queue_.pop_front();
  return out;
}

void DeviceBackend::work_ahead() {
  if (queue_.empty()) return;
  // A segment the CPU does (the device did not take it, or has been left)
  // is handed over now, so that the CPU sieves it while the loop waits.
  Queued& next = queue_.front();
  const bool left = next.slot >= 0 && use_.device() == nullptr;
  if (next.slot < 0 || left) {
    to_cpu(next);
    cpu_->work_ahead();
  }
}

void DeviceBackend::finish() { cpu_->finish(); }
