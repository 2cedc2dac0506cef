#include "search/fast_walk.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <memory>
#include <vector>

#include "search/reference_walk.h"
#include "search/kernels.h"
#include "search/reports.h"

namespace {

constexpr std::size_t kBatch = 4096;  // candidates handed to a kernel at once

u128 to_u128(mpz_srcptr v) {
  u128 out = 0;
  mpz_export(&out, nullptr, -1, sizeof out, 0, 0, v);
  return out;
}

// The candidate of an offset, in state.k and state.d.
void set_candidate(RunState& state, std::int64_t offset) {
  mpz_add_ui(state.k, state.k_first, static_cast<unsigned long>(offset));
  mpz_mul(state.d, state.k, state.two_p);
  mpz_add_ui(state.d, state.d, 1);
}

// Tests batches of offsets of one segment and collects the offsets whose
// candidate divides M(p).
class BatchTester {
 public:
  BatchTester(const RunState& state, std::int32_t n) : state_(state) {
    // The largest candidate of the segment decides the kernel.
    BigInt last;
    mpz_add_ui(last, state.k_first, static_cast<unsigned long>(n));
    mpz_mul(last, last, state.two_p);
    mpz_add_ui(last, last, 1);
    const auto bits = static_cast<unsigned>(mpz_sizeinbase(last, 2));
    native_ = mpz_fits_ulong_p(state.exponent) && bits <= 128;
    if (native_) {
      kernel_ = choose_kernel(bits);
      p_ = mpz_get_ui(state.exponent);
      BigInt first;
      mpz_mul(first, state.k_first, state.two_p);
      mpz_add_ui(first, first, 1);
      d0_ = to_u128(first);
      two_p_ = to_u128(state.two_p);
      narrow_step_ = two_p_ >> 64 == 0;
    }
  }

  // Queues the candidate of an offset; a full batch is tested at once.
  void add(std::int64_t offset) {
    offsets_[count_] = offset;
    if (++count_ == kBatch) flush();
  }

  void flush() {
    if (count_ == 0) return;
    if (native_) {
      // 2p below 2^64 (every exponent below 2^63) needs one 64-bit product.
      if (narrow_step_) {
        const auto step = static_cast<std::uint64_t>(two_p_);
        for (std::size_t i = 0; i < count_; ++i) {
          d_[i] = d0_ + static_cast<u128>(static_cast<std::uint64_t>(offsets_[i])) * step;
        }
      } else {
        for (std::size_t i = 0; i < count_; ++i) {
          d_[i] = d0_ + static_cast<u128>(offsets_[i]) * two_p_;
        }
      }
      divides_batch(kernel_, p_, d_.data(), count_, flags_.data());
      for (std::size_t i = 0; i < count_; ++i) {
        if (flags_[i]) hits_.push_back(offsets_[i]);
      }
    } else {
      BigInt k, d, residue;
      for (std::size_t i = 0; i < count_; ++i) {
        mpz_add_ui(k, state_.k_first, static_cast<unsigned long>(offsets_[i]));
        mpz_mul(d, k, state_.two_p);
        mpz_add_ui(d, d, 1);
        if (divides_mersenne(residue, state_.exponent, d)) hits_.push_back(offsets_[i]);
      }
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
  const RunState& state_;
  bool native_ = false;
  bool narrow_step_ = false;
  Kernel kernel_ = Kernel::Gmp;
  std::uint64_t p_ = 0;
  u128 d0_ = 0, two_p_ = 0;
  std::size_t count_ = 0;
  std::array<std::int64_t, kBatch> offsets_{};
  std::array<u128, kBatch> d_{};
  std::array<std::uint8_t, kBatch> flags_{};
  std::vector<std::int64_t> hits_;
};

}  // namespace

void test_segment_fast(RunState& state, const FastMask& mask, ThreadTeam* team) {
  ThreadTeam lone(1);
  ThreadTeam& members = team != nullptr ? *team : lone;
  const int size = members.size();
  const std::int32_t n = state.segment_size;
  assert(n == mask.n);
  const std::int32_t chunk = chunk_length(n);

  // One tester (100 KB: off the stack) and one share of each chunk's
  // outcome per member.
  struct Share {
    std::vector<std::int64_t> hits;
    std::int64_t last_clear = -1;
  };
  std::vector<std::unique_ptr<BatchTester>> testers;
  for (int i = 0; i < size; ++i) testers.push_back(std::make_unique<BatchTester>(state, n));
  std::vector<Share> shares(static_cast<std::size_t>(size));

  BigInt residue;
  std::vector<std::int64_t> hits;
  std::int32_t j = 0;
  while (j < n) {
    const std::int32_t end = chunk_end(j, chunk, n);
    // Each member tests the clear offsets of its own slice of the chunk;
    // only the state's constants are read meanwhile.
    members.run([&](int member) {
      const std::int64_t width = end - j;
      const std::int64_t lo = j + width * member / size;
      const std::int64_t hi = j + width * (member + 1) / size;
      Share& share = shares[static_cast<std::size_t>(member)];
      BatchTester& tester = *testers[static_cast<std::size_t>(member)];
      share.last_clear = -1;
      for_each_clear(mask, lo, hi, [&](std::int64_t offset) {
        tester.add(offset);
        share.last_clear = std::max(share.last_clear, offset);
      });
      tester.flush();
      share.hits = tester.take_hits();
    });

    // The chunk's outcome, reported by this thread alone, in increasing k:
    // the divisors, then the progress line naming the last clear candidate.
    hits.clear();
    std::int64_t last_tested = -1;
    for (const Share& share : shares) {
      hits.insert(hits.end(), share.hits.begin(), share.hits.end());
      last_tested = std::max(last_tested, share.last_clear);
    }
    std::sort(hits.begin(), hits.end());
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
    j = end;
  }
}
