// SPDX-License-Identifier: MIT
#include "search/batch_tester.h"

#include <algorithm>
#include <array>
#include <cassert>

#include "core/bit_words.h"
#include "core/cpu_tuning.h"

// Tests batches of offsets of one segment and collects the offsets whose
// candidate divides M(p).
class BatchTester {
 public:
  BatchTester(const SegmentCandidates& segment, Kernel kernel, unsigned check_bits)
      : segment_(segment), kernel_(kernel), check_bits_(check_bits) {}

  // Queues the candidates of the clear bits t in [from, to) of words,
  // which stand for offsets base + stride * t; full batches are tested at
  // once. The divisors come straight from the bits: a word's first divisor
  // follows from the last word's, and each clear bit adds its multiple of
  // the step, with no call per candidate.
  void add_clear(const std::vector<std::uint64_t>& words, std::int64_t from, std::int64_t to,
                 std::int64_t base, std::int64_t stride) {
    if (!segment_.native || kernel_ == Kernel::Gmp) {
      for_each_clear_word(words, from, to, [&](std::int64_t bit0, std::uint64_t free) {
        for (; free != 0; free &= free - 1) {
          offsets_[count_++] = base + stride * (bit0 + __builtin_ctzll(free));
          if (count_ >= kKernelBatch) flush();
        }
      });
      return;
    }
    if (from >= to) return;
    const u128 step = segment_.step * static_cast<u128>(stride);  // from one bit to the next
    const u128 word_step = step << 6;
    const bool narrow = step >> 64 == 0;
    const auto step64 = static_cast<std::uint64_t>(step);
    // The candidate of the first word's bit 0, then of each next word's.
    u128 d_word =
        segment_.base + segment_.step * static_cast<u128>(base + stride * ((from >> 6) << 6));
    for_each_clear_word(words, from, to, [&](std::int64_t, std::uint64_t free) {
      // The batch has room for a whole word's candidates (kKernelBatch +
      // 64); what spills past kKernelBatch moves to the next batch.
      std::size_t count = count_;
      if (narrow) {
        for (; free != 0; free &= free - 1) {
          d_[count++] =
              d_word + static_cast<u128>(step64) * static_cast<unsigned>(__builtin_ctzll(free));
        }
      } else {
        for (; free != 0; free &= free - 1) {
          d_[count++] = d_word + step * static_cast<unsigned>(__builtin_ctzll(free));
        }
      }
      count_ = count;
      d_word += word_step;
      if (count_ >= kKernelBatch) flush_full();
    });
  }

  // Tests whatever is queued.
  void flush() {
    if (segment_.native && kernel_ != Kernel::Gmp) {
      test_native(count_);
    } else {
      BigInt r;
      for (std::size_t i = 0; i < count_; ++i) {
        segment_.residue(r, offsets_[i]);
        if (mpz_cmp_ui(r, 1) == 0) found_.hits.push_back(offsets_[i]);
        if (mpz_scan1(r, 0) >= check_bits_) found_.flagged.push_back(offsets_[i]);
      }
      found_.tested += static_cast<std::int64_t>(count_);
    }
    count_ = 0;
  }

  // What was found since the last call, in increasing order.
  RangeTests take() {
    std::sort(found_.hits.begin(), found_.hits.end());
    std::sort(found_.flagged.begin(), found_.flagged.end());
    RangeTests out;
    std::swap(out, found_);
    return out;
  }

 private:
  // Tests the first count queued candidates with the kernel; the offset of
  // a candidate is (d - base) / 2p.
  void test_native(std::size_t count) {
    if (count == 0) return;
    divides_batch(kernel_, segment_.p, d_.data(), count, flags_.data(), check_bits_);
    for (std::size_t i = 0; i < count; ++i) {
      if (flags_[i] == 0) continue;
      const auto offset = static_cast<std::int64_t>((d_[i] - segment_.base) / segment_.step);
      if (flags_[i] & kDivides) found_.hits.push_back(offset);
      if (flags_[i] & kFlagged) found_.flagged.push_back(offset);
    }
    found_.tested += static_cast<std::int64_t>(count);
  }

  // Tests a full batch and moves what spilled past it to the front.
  void flush_full() {
    test_native(kKernelBatch);
    std::copy(d_.begin() + kKernelBatch, d_.begin() + static_cast<std::ptrdiff_t>(count_),
              d_.begin());
    count_ -= kKernelBatch;
  }

  const SegmentCandidates& segment_;
  Kernel kernel_;
  unsigned check_bits_;
  std::size_t count_ = 0;
  // Written before they are read: left uninitialised, so that a team of
  // many members makes its testers at once.
  std::array<std::int64_t, kKernelBatch> offsets_;
  std::array<u128, kKernelBatch + 64> d_;
  std::array<std::uint8_t, kKernelBatch> flags_;
  RangeTests found_;
};

CpuChunkTests::CpuChunkTests(const SegmentCandidates& segment, int members, unsigned check_bits,
                             std::optional<Kernel> kernel)
    : kernel_(kernel.value_or(segment.native ? choose_kernel(segment.max_bits) : Kernel::Gmp)),
      check_bits_(check_bits) {
  // One tester (100 KB: off the stack) and one share of each range's
  // findings per member.
  for (int i = 0; i < members; ++i) {
    testers_.push_back(std::make_unique<BatchTester>(segment, kernel_, check_bits));
  }
  shares_.resize(static_cast<std::size_t>(members));
}

CpuChunkTests::~CpuChunkTests() = default;

RangeTests CpuChunkTests::run(const FastMask& mask, std::int32_t from, std::int32_t to,
                              ThreadTeam& team) {
  const int size = team.size();
  assert(static_cast<std::size_t>(size) <= testers_.size());
  // Each member tests the clear offsets of its own slice of the range.
  team.run([&](int member) {
    const auto [lo, hi] = member_share(from, to, member, size);
    BatchTester& tester = *testers_[static_cast<std::size_t>(member)];
    for_each_region(mask, lo, hi,
                    [&](const std::vector<std::uint64_t>& words, std::int64_t region_from,
                        std::int64_t region_to, std::int64_t base, std::int64_t stride) {
                      tester.add_clear(words, region_from, region_to, base, stride);
                    });
    tester.flush();
    shares_[static_cast<std::size_t>(member)] = tester.take();
  });
  // The slices lie in increasing order of offset within each region, but
  // the lanes interleave: the whole is sorted once more.
  RangeTests all;
  all.flag_bits = check_bits_;
  for (int member = 0; member < size; ++member) {
    const RangeTests& share = shares_[static_cast<std::size_t>(member)];
    all.hits.insert(all.hits.end(), share.hits.begin(), share.hits.end());
    all.flagged.insert(all.flagged.end(), share.flagged.begin(), share.flagged.end());
    all.tested += share.tested;
  }
  std::sort(all.hits.begin(), all.hits.end());
  std::sort(all.flagged.begin(), all.flagged.end());
  return all;
}
