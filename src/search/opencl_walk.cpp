// SPDX-License-Identifier: MIT
#include "search/opencl_walk.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>

#include "core/big_int.h"
#include "kernels/kernels.h"
#include "search/reference_walk.h"

namespace {

// The clear bits of words in [from, to), one word at a time.
template <typename Word>
void for_each_free_word(const std::vector<std::uint64_t>& words, std::int64_t from, std::int64_t to,
                        Word&& word) {
  if (from >= to) return;
  const std::int64_t first = from >> 6, last = (to - 1) >> 6;
  for (std::int64_t w = first; w <= last; ++w) {
    std::uint64_t free = ~words[static_cast<std::size_t>(w)];
    if (w == first) free &= ~std::uint64_t{0} << (from & 63);
    if (w == last && (to & 63) != 0) free &= ~std::uint64_t{0} >> (64 - (to & 63));
    word(w << 6, free);
  }
}

// The member's slice of [from, to), as CpuChunkTests cuts it.
std::pair<std::int64_t, std::int64_t> slice(std::int32_t from, std::int32_t to, int member,
                                            int members) {
  const std::int64_t width = to - from;
  return {from + width * member / members, from + width * (member + 1) / members};
}

}  // namespace

bool wants_opencl(const DeviceRequest& request) {
  if (request.kind == DeviceRequest::Kind::Cpu) return false;
  if (request.kind == DeviceRequest::Kind::Automatic) {
    return !forced_kernel().has_value() && !portable_forced();
  }
  return true;
}

OpenClDevice* OpenClUse::device() {
  if (tried_) return active_ ? device_ : nullptr;
  tried_ = true;
  if (!wants_opencl(request_)) return nullptr;
  std::string why;
  device_ = shared_opencl_device(request_, &why);
  if (device_ == nullptr) {
    if (!why.empty()) std::fprintf(stderr, "tamrisk: %s; testing on the CPU\n", why.c_str());
    return nullptr;
  }
  active_ = true;
  // A device that was asked for is used as it is; one chosen by default is
  // named once it has proved itself against the CPU.
  checked_ = request_.kind != DeviceRequest::Kind::Automatic;
  if (checked_) {
    std::fprintf(stderr, "tamrisk: OpenCL device %s\n", device_->description().c_str());
  }
  return device_;
}

void OpenClUse::verdict(bool slower) {
  checked_ = true;
  if (slower) {
    active_ = false;
    std::fprintf(stderr,
                 "tamrisk: OpenCL device %s: slower than the CPU path here; testing on the CPU\n",
                 device_->description().c_str());
  } else {
    std::fprintf(stderr, "tamrisk: OpenCL device %s\n", device_->description().c_str());
  }
}

void OpenClUse::give_up(mpz_srcptr k, const std::string& why) {
  active_ = false;
  std::fprintf(stderr, "tamrisk: OpenCL device %s: %s; testing on the CPU from k = %s\n",
               device_->description().c_str(), why.c_str(), to_decimal(k).c_str());
}

OpenClWalk::OpenClWalk(const DeviceRequest& request, ThreadTeam& team)
    : use_(request), team_(team) {}

void OpenClWalk::give_up(const Queued& first, const std::string& why) {
  BigInt k;
  mpz_add_ui(k, first.segment->k_first, static_cast<unsigned long>(first.from));
  use_.give_up(k, why);
  device_ = nullptr;
}

std::vector<std::int64_t> OpenClWalk::on_cpu(const Queued& chunk) {
  ++cpu_chunks_;
  return chunk.cpu->run(*chunk.mask, chunk.from, chunk.to, team_);
}

void OpenClWalk::submit(const FastMask& mask, const SegmentCandidates& segment, CpuChunkTests& cpu,
                        std::int32_t from, std::int32_t to) {
  assert(queue_.size() < 2);
  Queued chunk{&mask, &segment, &cpu, from, to, -1, 0};
  const bool fits = segment.native && segment.max_bits <= OpenClDevice::kMaxBits;
  device_ = fits ? use_.device() : nullptr;
  if (device_ == nullptr) {
    queue_.push_back(chunk);
    return;
  }

  // Each member counts the clear offsets of its slice, then writes them
  // where the counts before it end.
  const int members = team_.size();
  counts_.assign(static_cast<std::size_t>(members), 0);
  team_.run([&](int member) {
    const auto [lo, hi] = slice(from, to, member, members);
    std::size_t count = 0;
    for_each_region(mask, lo, hi,
                    [&](const std::vector<std::uint64_t>& words, std::int64_t region_from,
                        std::int64_t region_to, std::int64_t, std::int64_t) {
                      for_each_free_word(
                          words, region_from, region_to, [&](std::int64_t, std::uint64_t free) {
                            count += static_cast<std::size_t>(__builtin_popcountll(free));
                          });
                    });
    counts_[static_cast<std::size_t>(member)] = count;
  });
  starts_.assign(static_cast<std::size_t>(members) + 1, 0);
  for (int m = 0; m < members; ++m) {
    starts_[static_cast<std::size_t>(m) + 1] =
        starts_[static_cast<std::size_t>(m)] + counts_[static_cast<std::size_t>(m)];
  }
  const std::size_t total = starts_.back();
  if (total > device_->max_batch()) {  // more than the device holds: the CPU's
    queue_.push_back(chunk);
    return;
  }
  const int slot = next_slot_;
  std::uint32_t* host = device_->reserve(slot, total);
  // From a failure on, the CPU tests every chunk whose results are not in,
  // the oldest queued one first.
  const Queued& oldest = queue_.empty() ? chunk : queue_.front();
  if (host == nullptr) {
    give_up(oldest, device_->failure());
    queue_.push_back(chunk);
    return;
  }
  team_.run([&](int member) {
    const auto [lo, hi] = slice(from, to, member, members);
    std::uint32_t* out = host + starts_[static_cast<std::size_t>(member)];
    for_each_region(
        mask, lo, hi,
        [&](const std::vector<std::uint64_t>& words, std::int64_t region_from,
            std::int64_t region_to, std::int64_t base, std::int64_t stride) {
          for_each_free_word(
              words, region_from, region_to, [&](std::int64_t bit0, std::uint64_t free) {
                const std::int64_t first = base + stride * bit0;
                for (; free != 0; free &= free - 1) {
                  *out++ = static_cast<std::uint32_t>(first + stride * __builtin_ctzll(free));
                }
              });
        });
  });
  if (!device_->launch(slot, segment.p, segment.base, segment.step, total, segment.min_bits,
                       segment.max_bits)) {
    give_up(oldest, device_->failure());
    queue_.push_back(chunk);
    return;
  }
  chunk.slot = slot;
  chunk.count = total;
  next_slot_ = 1 - slot;
  queue_.push_back(chunk);
}

void OpenClWalk::finish() {
  if (use_.on_trial()) use_.verdict(compared_device_ > compared_cpu_);
}

std::vector<std::int64_t> OpenClWalk::take() {
  assert(!queue_.empty());
  const Queued chunk = queue_.front();
  queue_.pop_front();
  device_ = chunk.slot < 0 ? nullptr : use_.device();
  if (device_ == nullptr) return on_cpu(chunk);
  const OpenClDevice::Collected collected = device_->collect(chunk.slot, hits_);
  if (collected == OpenClDevice::Collected::Failed) {
    give_up(chunk, device_->failure());
    return on_cpu(chunk);
  }
  // More divisors than the device returns: only degenerate exponents.
  if (collected == OpenClDevice::Collected::Overflow) return on_cpu(chunk);
  std::vector<std::int64_t> hits(hits_.begin(), hits_.end());
  std::sort(hits.begin(), hits.end());
  // Each divisor the device names is confirmed here: a device that names
  // one that is none is trusted with nothing more.
  BigInt d, residue;
  for (const std::int64_t offset : hits) {
    mpz_add_ui(d, chunk.segment->k_first, static_cast<unsigned long>(offset));
    mpz_mul(d, d, chunk.segment->two_p);
    mpz_add_ui(d, d, 1);
    if (offset < chunk.from || offset >= chunk.to ||
        !divides_mersenne(residue, chunk.segment->exponent, d)) {
      give_up(chunk, "it named a divisor that is none (" + to_decimal(d) + ")");
      return on_cpu(chunk);
    }
  }
  if (use_.on_trial()) {
    // A device chosen by default must beat the CPU: over its first chunks,
    // until they hold kCompared candidates, the device's own time for them
    // against the team's for the same tests, whose divisors must agree.
    compared_device_ += device_->take_busy_seconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::int64_t> on_the_cpu = chunk.cpu->run(*chunk.mask, chunk.from, chunk.to, team_);
    compared_cpu_ +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    compared_count_ += chunk.count;
    ++cpu_chunks_;
    if (on_the_cpu != hits) {
      give_up(chunk, "its divisors differ from the CPU's");
    } else if (compared_count_ >= kCompared) {
      use_.verdict(compared_device_ > compared_cpu_);
    }
    return on_the_cpu;
  }
  ++device_chunks_;
  return hits;
}

OpenClDevice::SegmentJob device_job(
    const FastSieveContext& ctx, const SegmentCandidates& segment,
    const std::vector<std::pair<std::int32_t, std::int32_t>>& chunks) {
  OpenClDevice::SegmentJob job;
  job.k_first = to_u128(segment.k_first);
  job.n = segment.n;
  job.layout = fast_layout(ctx, segment.k_first, segment.n);
  job.chunks = chunks;
  job.p = segment.p;
  job.base = segment.base;
  job.step = segment.step;
  job.min_bits = segment.min_bits;
  job.max_bits = segment.max_bits;
  return job;
}

OpenClSegmentWalk::OpenClSegmentWalk(const DeviceRequest& request, const FastSieveContext& ctx)
    : use_(request), ctx_(ctx) {}

void OpenClSegmentWalk::submit(const SegmentCandidates& segment,
                               const std::vector<std::pair<std::int32_t, std::int32_t>>& chunks) {
  assert(queue_.size() < 2);
  Queued queued{&segment, -1};
  const bool fits = segment.native && segment.max_bits <= OpenClDevice::kMaxBits;
  device_ = fits ? use_.device() : nullptr;
  // From a failure on, the CPU does every segment whose results are not in,
  // the oldest queued one first.
  mpz_srcptr oldest =
      queue_.empty() ? segment.k_first.get() : queue_.front().segment->k_first.get();
  if (device_ != nullptr && !loaded_) {
    loaded_ = true;
    if (!device_->load_sieve_primes(ctx_)) {
      use_.give_up(oldest, device_->failure());
      device_ = nullptr;
    }
  }
  if (device_ != nullptr) {
    OpenClDevice::SegmentJob job = device_job(ctx_, segment, chunks);
    // A deeper prime far beyond the segment marks a candidate or none per
    // region, which does not pay for working out where: those above a
    // quarter of the segment's offsets (and the block size) are left out.
    job.deep_bound = static_cast<std::uint32_t>(
        std::max<std::int64_t>(OpenClDevice::kSieveBlockBits, std::int64_t{segment.n} / 4));
    if (device_->submit_segment(next_slot_, job)) {
      queued.slot = next_slot_;
      next_slot_ = 1 - next_slot_;
    } else {
      use_.give_up(oldest, device_->failure());
      device_ = nullptr;
    }
  }
  queue_.push_back(queued);
}

std::optional<OpenClSegmentWalk::Taken> OpenClSegmentWalk::take() {
  assert(!queue_.empty());
  const Queued queued = queue_.front();
  queue_.pop_front();
  device_ = queued.slot < 0 ? nullptr : use_.device();
  if (device_ == nullptr) return std::nullopt;
  const SegmentCandidates& segment = *queued.segment;
  const OpenClDevice::Collected collected = device_->collect_segment(queued.slot, result_);
  if (collected == OpenClDevice::Collected::Failed) {
    use_.give_up(segment.k_first, device_->failure());
    return std::nullopt;
  }
  // More divisors than the device returns: only degenerate exponents.
  if (collected == OpenClDevice::Collected::Overflow) return std::nullopt;
  Taken taken;
  taken.marked = result_.marked;
  taken.last = result_.last;
  taken.hits.assign(result_.hits.begin(), result_.hits.end());
  std::sort(taken.hits.begin(), taken.hits.end());
  // Each divisor the device names is confirmed here: a device that names
  // one that is none is trusted with nothing more.
  BigInt d, residue;
  for (const std::int64_t offset : taken.hits) {
    mpz_add_ui(d, segment.k_first, static_cast<unsigned long>(offset));
    mpz_mul(d, d, segment.two_p);
    mpz_add_ui(d, d, 1);
    if (offset >= segment.n || !divides_mersenne(residue, segment.exponent, d)) {
      use_.give_up(segment.k_first, "it named a divisor that is none (" + to_decimal(d) + ")");
      return std::nullopt;
    }
  }
  return taken;
}

void OpenClSegmentWalk::trial(bool agree, double device_seconds, double cpu_seconds,
                              mpz_srcptr k_first) {
  if (!agree) {
    use_.give_up(k_first, "its sieve or tests differ from the CPU's");
    return;
  }
  use_.verdict(device_seconds > cpu_seconds);
}
