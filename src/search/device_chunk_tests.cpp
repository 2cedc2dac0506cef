// SPDX-License-Identifier: MIT
#include "search/device_chunk_tests.h"

#include <algorithm>
#include <cassert>
#include <chrono>

#include "core/bit_words.h"
#include "gpu/device_tuning.h"
#include "search/flag_check.h"

DeviceChunkTests::DeviceChunkTests(const DeviceRequest& request, ThreadTeam& team,
                                   unsigned check_bits)
    : use_(request), team_(team), check_bits_(check_bits) {}

OpenClBatches* DeviceChunkTests::batches() {
  OpenClDevice* device = use_.device();
  if (device == nullptr) return nullptr;
  if (batches_ == nullptr) batches_ = std::make_unique<OpenClBatches>(*device);
  return batches_.get();
}

void DeviceChunkTests::give_up(const Queued& first, const std::string& why) {
  BigInt k;
  mpz_add_ui(k, first.segment->k_first, static_cast<unsigned long>(first.from));
  use_.give_up(k, why);
}

RangeTests DeviceChunkTests::on_cpu(const Queued& chunk) {
  return chunk.cpu->run(*chunk.mask, chunk.from, chunk.to, team_);
}

std::size_t DeviceChunkTests::count_clear(const Queued& chunk) {
  const int members = team_.size();
  counts_.assign(static_cast<std::size_t>(members), 0);
  team_.run([&](int member) {
    const auto [lo, hi] = member_share(chunk.from, chunk.to, member, members);
    std::size_t count = 0;
    for_each_region(*chunk.mask, lo, hi,
                    [&](const std::vector<std::uint64_t>& words, std::int64_t region_from,
                        std::int64_t region_to, std::int64_t, std::int64_t) {
                      for_each_clear_word(
                          words, region_from, region_to, [&](std::int64_t, std::uint64_t free) {
                            count += static_cast<std::size_t>(__builtin_popcountll(free));
                          });
                    });
    counts_[static_cast<std::size_t>(member)] = count;
  });
  starts_.assign(static_cast<std::size_t>(members) + 1, 0);
  for (std::size_t m = 0; m < counts_.size(); ++m) starts_[m + 1] = starts_[m] + counts_[m];
  return starts_.back();
}

void DeviceChunkTests::gather(const Queued& chunk, std::uint32_t* host) {
  const int members = team_.size();
  team_.run([&](int member) {
    const auto [lo, hi] = member_share(chunk.from, chunk.to, member, members);
    std::uint32_t* out = host + starts_[static_cast<std::size_t>(member)];
    for_each_region(
        *chunk.mask, lo, hi,
        [&](const std::vector<std::uint64_t>& words, std::int64_t region_from,
            std::int64_t region_to, std::int64_t base, std::int64_t stride) {
          for_each_clear_word(
              words, region_from, region_to, [&](std::int64_t bit0, std::uint64_t free) {
                const std::int64_t first = base + stride * bit0;
                for (; free != 0; free &= free - 1) {
                  *out++ = static_cast<std::uint32_t>(first + stride * __builtin_ctzll(free));
                }
              });
        });
  });
}

void DeviceChunkTests::submit(const FastMask& mask, const SegmentCandidates& segment,
                              CpuChunkTests& cpu, std::int32_t from, std::int32_t to) {
  assert(queue_.size() < 2);
  Queued chunk{&mask, &segment, &cpu, from, to, -1, 0};
  const bool fits = segment.native && segment.max_bits <= OpenClDevice::kMaxBits;
  OpenClBatches* device = fits ? batches() : nullptr;
  if (device == nullptr) {
    queue_.push_back(chunk);
    return;
  }
  // Each member counts the clear offsets of its slice, then writes them
  // where the counts before it end.
  const std::size_t total = count_clear(chunk);
  if (total > device->max_batch()) {  // more than the device holds: the CPU's
    queue_.push_back(chunk);
    return;
  }
  const int slot = next_slot_;
  std::uint32_t* host = device->reserve(slot, total);
  // From a failure on, the CPU tests every chunk whose results are not in,
  // the oldest queued one first.
  const Queued& oldest = queue_.empty() ? chunk : queue_.front();
  if (host == nullptr) {
    give_up(oldest, use_.opened()->failure());
    queue_.push_back(chunk);
    return;
  }
  gather(chunk, host);
  if (!device->launch(slot, segment.p, segment.base, segment.step, total, segment.min_bits,
                      segment.max_bits, check_bits_)) {
    give_up(oldest, use_.opened()->failure());
    queue_.push_back(chunk);
    return;
  }
  chunk.slot = slot;
  chunk.count = total;
  next_slot_ = 1 - slot;
  queue_.push_back(chunk);
}

void DeviceChunkTests::finish() {
  if (use_.on_trial()) use_.verdict(compared_device_ > compared_cpu_);
}

RangeTests DeviceChunkTests::take() {
  assert(!queue_.empty());
  const Queued chunk = queue_.front();
  queue_.pop_front();
  OpenClBatches* device = chunk.slot < 0 ? nullptr : batches();
  if (device == nullptr) return on_cpu(chunk);
  const DeviceCollected collected = device->collect(chunk.slot, found_);
  if (collected == DeviceCollected::Failed) {
    give_up(chunk, use_.opened()->failure());
    return on_cpu(chunk);
  }
  // More divisors than the device returns: only degenerate exponents.
  if (collected == DeviceCollected::Overflow) return on_cpu(chunk);
  std::vector<std::int64_t> hits(found_.hits.begin(), found_.hits.end());
  std::sort(hits.begin(), hits.end());
  // Each divisor the device names is confirmed here: a device that names
  // one that is none is trusted with nothing more.
  for (const std::int64_t offset : hits) {
    if (offset < chunk.from || offset >= chunk.to || !chunk.segment->divides(offset)) {
      BigInt k, d;
      candidate_at(k, d, chunk.segment->k_first, chunk.segment->two_p, offset);
      give_up(chunk, "it named a divisor that is none (" + to_decimal(d) + ")");
      return on_cpu(chunk);
    }
  }
  // So is each flag, by the CPU's fastest kernel: a device whose residues
  // are wrong is trusted with nothing more either.
  std::vector<Flag> flags;
  const std::int64_t wrong = check_flags(*chunk.segment, found_.flags, check_bits_, flags);
  if (wrong >= 0) {
    BigInt k;
    mpz_add_ui(k, chunk.segment->k_first, static_cast<unsigned long>(wrong));
    give_up(chunk, "the residue it gave for k = " + to_decimal(k) + " is wrong");
    return on_cpu(chunk);
  }
  if (use_.on_trial()) {
    // A device chosen by default must beat the CPU: over its first chunks,
    // until they hold kComparedCandidates, the device's own time for them
    // against the team's for the same tests, whose divisors must agree.
    compared_device_ += use_.opened()->take_busy_seconds();
    const auto start = std::chrono::steady_clock::now();
    RangeTests on_the_cpu = on_cpu(chunk);
    compared_cpu_ +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    compared_count_ += chunk.count;
    if (on_the_cpu.hits != hits) {
      give_up(chunk, "its divisors differ from the CPU's");
    } else if (compared_count_ >= kComparedCandidates) {
      use_.verdict(compared_device_ > compared_cpu_);
    }
    return on_the_cpu;
  }
  RangeTests out;
  out.hits = std::move(hits);
  for (const Flag& flag : flags) out.flagged.push_back(flag.offset);
  out.tested = static_cast<std::int64_t>(chunk.count);
  out.flag_bits = check_bits_;
  return out;
}
