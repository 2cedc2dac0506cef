// SPDX-License-Identifier: MIT
#include "search/fast_walk.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "search/reference_walk.h"
#include "kernels/kernels.h"
#include "search/reports.h"

namespace {

constexpr std::size_t kBatch = 4096;  // candidates handed to a kernel at once

// The candidate of an offset, in state.k and state.d.
void set_candidate(RunState& state, std::int64_t offset) {
  mpz_add_ui(state.k, state.k_first, static_cast<unsigned long>(offset));
  mpz_mul(state.d, state.k, state.two_p);
  mpz_add_ui(state.d, state.d, 1);
}

}  // namespace

// Tests batches of offsets of one segment and collects the offsets whose
// candidate divides M(p).
class BatchTester {
 public:
  explicit BatchTester(const SegmentCandidates& segment)
      : exponent_(segment.exponent), two_p_big_(segment.two_p), k_first_(segment.k_first) {
    native_ = segment.native;
    if (native_) {
      kernel_ = choose_kernel(segment.max_bits);
      p_ = segment.p;
      d0_ = segment.base;
      two_p_ = segment.step;
    }
  }

  // Queues the candidates of the clear bits t in [from, to) of words,
  // which stand for offsets base + stride * t; full batches are tested at
  // once. The divisors come straight from the bits: a word's first divisor
  // follows from the last word's, and each clear bit adds its multiple of
  // the step, with no call per candidate.
  void add_clear(const std::vector<std::uint64_t>& words, std::int64_t from, std::int64_t to,
                 std::int64_t base, std::int64_t stride) {
    if (from >= to) return;
    const std::int64_t first_word = from >> 6, last_word = (to - 1) >> 6;
    const auto free_bits = [&](std::int64_t w) {
      std::uint64_t free = ~words[static_cast<std::size_t>(w)];
      if (w == first_word) free &= ~std::uint64_t{0} << (from & 63);
      if (w == last_word && (to & 63) != 0) free &= ~std::uint64_t{0} >> (64 - (to & 63));
      return free;
    };
    if (!native_) {
      for (std::int64_t w = first_word; w <= last_word; ++w) {
        for (std::uint64_t free = free_bits(w); free != 0; free &= free - 1) {
          offsets_[count_++] = base + stride * ((w << 6) + __builtin_ctzll(free));
          if (count_ >= kBatch) flush();
        }
      }
      return;
    }
    const u128 step = two_p_ * static_cast<u128>(stride);  // from one bit to the next
    const u128 word_step = step << 6;
    u128 d_word = d0_ + two_p_ * static_cast<u128>(base + stride * (first_word << 6));
    const bool narrow = step >> 64 == 0;
    const auto step64 = static_cast<std::uint64_t>(step);
    for (std::int64_t w = first_word; w <= last_word; ++w, d_word += word_step) {
      std::uint64_t free = free_bits(w);
      // The batch has room for a whole word's candidates (kBatch + 64);
      // what spills past kBatch moves to the next batch.
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
      if (count_ >= kBatch) flush_full();
    }
  }

  // Tests whatever is queued.
  void flush() {
    if (native_) {
      test_native(count_);
      count_ = 0;
      return;
    }
    BigInt k, d, residue;
    for (std::size_t i = 0; i < count_; ++i) {
      mpz_add_ui(k, k_first_, static_cast<unsigned long>(offsets_[i]));
      mpz_mul(d, k, two_p_big_);
      mpz_add_ui(d, d, 1);
      if (divides_mersenne(residue, exponent_, d)) hits_.push_back(offsets_[i]);
    }
    count_ = 0;
  }

  // The divisors found since the last call, in increasing order.
  std::vector<std::int64_t> take_hits() {
    std::sort(hits_.begin(), hits_.end());
    std::vector<std::int64_t> out;
    out.swap(hits_);
    return out;
  }

 private:
  // Tests the first count queued divisors with the kernel; the offset of a
  // divisor found is (d - d0) / 2p.
  void test_native(std::size_t count) {
    if (count == 0) return;
    divides_batch(kernel_, p_, d_.data(), count, flags_.data());
    for (std::size_t i = 0; i < count; ++i) {
      if (flags_[i]) hits_.push_back(static_cast<std::int64_t>((d_[i] - d0_) / two_p_));
    }
  }

  // Tests a full batch and moves what spilled past it to the front.
  void flush_full() {
    test_native(kBatch);
    std::copy(d_.begin() + kBatch, d_.begin() + static_cast<std::ptrdiff_t>(count_), d_.begin());
    count_ -= kBatch;
  }

  BigInt exponent_, two_p_big_, k_first_;
  bool native_ = false;
  Kernel kernel_ = Kernel::Gmp;
  std::uint64_t p_ = 0;
  u128 d0_ = 0, two_p_ = 0;
  std::size_t count_ = 0;
  // Written before they are read: left uninitialised, so that a team of
  // many members makes its testers at once.
  std::array<std::int64_t, kBatch> offsets_;
  std::array<u128, kBatch + 64> d_;
  std::array<std::uint8_t, kBatch> flags_;
  std::vector<std::int64_t> hits_;
};

CpuChunkTests::CpuChunkTests(const SegmentCandidates& segment, int members) {
  // One tester (100 KB: off the stack) and one share of each chunk's
  // divisors per member.
  for (int i = 0; i < members; ++i) testers_.push_back(std::make_unique<BatchTester>(segment));
  shares_.resize(static_cast<std::size_t>(members));
}

CpuChunkTests::~CpuChunkTests() = default;

std::vector<std::int64_t> CpuChunkTests::run(const FastMask& mask, std::int32_t from,
                                             std::int32_t to, ThreadTeam& team) {
  const int size = team.size();
  assert(static_cast<std::size_t>(size) <= testers_.size());
  // Each member tests the clear offsets of its own slice of the chunk.
  team.run([&](int member) {
    const std::int64_t width = to - from;
    const std::int64_t lo = from + width * member / size;
    const std::int64_t hi = from + width * (member + 1) / size;
    BatchTester& tester = *testers_[static_cast<std::size_t>(member)];
    for_each_region(mask, lo, hi,
                    [&](const std::vector<std::uint64_t>& words, std::int64_t region_from,
                        std::int64_t region_to, std::int64_t base, std::int64_t stride) {
                      tester.add_clear(words, region_from, region_to, base, stride);
                    });
    tester.flush();
    shares_[static_cast<std::size_t>(member)] = tester.take_hits();
  });
  std::vector<std::int64_t> hits;
  for (int member = 0; member < size; ++member) {
    const std::vector<std::int64_t>& share = shares_[static_cast<std::size_t>(member)];
    hits.insert(hits.end(), share.begin(), share.end());
  }
  std::sort(hits.begin(), hits.end());
  return hits;
}

void report_chunk_lines(RunState& state, std::int64_t last_tested,
                        const std::vector<std::int64_t>& hits) {
  // The divisors in increasing k, then the progress line naming the last
  // candidate the plan's marks leave clear (the deeper marks only skip tests).
  BigInt residue;
  for (const std::int64_t offset : hits) {
    set_candidate(state, offset);
    // An independent check before anything is recorded: the kernel's
    // verdict must agree with the integer library's.
    if (!divides_mersenne(residue, state.exponent, state.d)) {
      std::fprintf(stderr, "internal error: a kernel reported a divisor that is none\n");
      continue;
    }
    report_factor(state);
  }
  if (last_tested >= 0) set_candidate(state, last_tested);
  print_progress(state.k, state.d);
}

void report_chunk(RunState& state, const FastMask& mask, std::size_t chunk_index,
                  std::int32_t from, std::int32_t to, const std::vector<std::int64_t>& hits) {
  const std::int64_t last_tested = chunk_index < mask.plan_last.size()
                                       ? mask.plan_last[chunk_index]
                                       : fast_last_clear(mask, from, to);
  report_chunk_lines(state, last_tested, hits);
}

void test_segment_fast(RunState& state, const FastMask& mask, ThreadTeam* team) {
  ThreadTeam lone(1);
  ThreadTeam& members = team != nullptr ? *team : lone;
  const std::int32_t n = state.segment_size;
  assert(n == mask.n);
  const SegmentCandidates segment(state.exponent, state.two_p, state.k_first, n);
  CpuChunkTests tests(segment, members.size());
  const std::vector<std::pair<std::int32_t, std::int32_t>> chunks = segment_chunks(n);
  // A large team tests several chunks a round, so that the rounds (each
  // ends in a barrier of every member) stay few: one a chunk up to 7
  // members, a quarter of the members' count in chunks beyond.
  const std::size_t per_round = std::max<std::size_t>(1, static_cast<std::size_t>(members.size()) / 4);
  std::vector<std::int64_t> hits;
  for (std::size_t c = 0; c < chunks.size(); c += per_round) {
    const std::size_t last = std::min(chunks.size(), c + per_round) - 1;
    const std::vector<std::int64_t> found =
        tests.run(mask, chunks[c].first, chunks[last].second, members);
    std::size_t h = 0;
    for (std::size_t i = c; i <= last; ++i) {
      hits.clear();
      for (; h < found.size() && found[h] < chunks[i].second; ++h) hits.push_back(found[h]);
      report_chunk(state, mask, i, chunks[i].first, chunks[i].second, hits);
    }
  }
}
