// SPDX-License-Identifier: MIT
// The fast mask against the reference mask, bit for bit; the device's sieve
// against the fast mask.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/big_int.h"
#include "core/bit_words.h"
#include "core/candidate.h"
#include "core/chunks.h"
#include "gpu/opencl_device.h"
#include "gpu/opencl_segments.h"
#include "sieve/candidate_mask.h"
#include "core/cpu_features.h"
#include "sieve/fast_mask.h"
#include "sieve/prime_table.h"
#include "sieve/sieve_segment.h"
#include "sieve/small_primes.h"
#include "support/opencl.h"
#include "support/prime_table.h"

namespace {

struct Segment {
  std::string p;        // decimal exponent
  std::string k_first;  // decimal
  std::int32_t n;
  float end_bits;       // decides the number of sieving primes
};

std::string describe(const Segment& s) {
  return "p=" + s.p + " k_first=" + s.k_first + " n=" + std::to_string(s.n) +
         " end=" + std::to_string(s.end_bits);
}

// The shares of a segment's sieve run one after another on this thread,
// last first or first first: a share that reset a word of a share run
// before it would wipe that share's marks, words past its own showing in
// the one order and words before its own in the other.
ShareRunner one_by_one(int shares, bool last_first) {
  return [shares, last_first](const std::function<void(int)>& job) {
    for (int i = 0; i < shares; ++i) job(last_first ? shares - 1 - i : i);
  };
}

// Builds both masks and compares every bit the walk could read, the count
// of marked bits, and the clear offsets that for_each_clear visits. With
// parts > 0 the fast mask is built in that many shares, run one by one,
// last first for the first entry of parts_list, first first for the
// second, and so on.
void expect_same_mask(const Segment& s, std::int64_t block_bits = 0,
                      const std::vector<int>& parts_list = {0}, std::int64_t small_block_bits = 0) {
  BigInt p, k, two_p, first;
  mpz_set_str(p, s.p.c_str(), 10);
  mpz_set_str(k, s.k_first.c_str(), 10);
  mpz_mul_ui(two_p, p, 2);
  mpz_mul(first, k, two_p);
  mpz_add_ui(first, first, 1);
  const std::int32_t count = sieve_prime_count_for(built_prime_table(), s.end_bits);

  static CandidateWindow window;
  BigInt reference;
  build_candidate_mask(window, reference, first, two_p, s.n);
  mark_small_primes(built_prime_table(), count, window, reference, s.n);

  FastSieveContext ctx;
  prepare_fast_sieve(ctx, built_prime_table(), count, p);
  if (block_bits > 0) ctx.block_bits = block_bits;
  if (small_block_bits > 0) {
    ctx.small_block_bits = small_block_bits;
    set_small_prime_limit(ctx, static_cast<std::uint32_t>(small_block_bits / 4));
  }
  const std::int64_t bits = std::max<std::int64_t>(std::int64_t{s.n} + 1, 61);
  std::vector<std::int64_t> clear;
  for (std::int64_t i = 0; i < s.n; ++i) {
    if (!mpz_tstbit(reference, static_cast<mp_bitcnt_t>(i))) clear.push_back(i);
  }
  for (std::size_t entry = 0; entry < parts_list.size(); ++entry) {
    const int parts = parts_list[entry];
    const bool last_first = entry % 2 == 0;
    SCOPED_TRACE(describe(s) + " parts " + std::to_string(parts) +
                 (last_first ? " last first" : " first first"));
    FastMask fast;
    std::int64_t part_counts = -1;
    if (parts == 0) {
      build_fast_mask(fast, ctx, k, s.n);
    } else {
      part_counts =
          sieve_segment_in_shares(fast, ctx, k, s.n, parts, one_by_one(parts, last_first));
    }
    if (parts > 0) {
      EXPECT_EQ(part_counts, count_marked(reference, s.n)) << "the parts' counts";
    }
    const std::vector<std::uint64_t> words = expand_fast_mask(fast);
    std::int64_t mismatches = 0;
    for (std::int64_t i = 0; i < bits; ++i) {
      const bool want = mpz_tstbit(reference, static_cast<mp_bitcnt_t>(i));
      const bool got = (words[static_cast<std::size_t>(i >> 6)] >> (i & 63)) & 1;
      if (want != got && mismatches++ < 5) {
        ADD_FAILURE() << "bit " << i << " reference " << want << " fast " << got;
      }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(fast_count_marked(fast), count_marked(reference, s.n));
    std::vector<std::int64_t> visited;
    for_each_clear(fast, 0, s.n, [&](std::int64_t off) { visited.push_back(off); });
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(visited, clear);
  }
}

TEST(BitWords, RangeQueriesAgreeWithBitByBit) {
  // The mask's counts and last clear offsets rest on these: every range
  // [from, to) of four words (ends inside a word, on word edges, empty),
  // against a count bit by bit.
  std::mt19937_64 rng(20261210);
  std::vector<std::uint64_t> words = {rng(), rng(), ~std::uint64_t{0}, rng()};
  words[3] &= ~(std::uint64_t{1} << 63);  // the last bit clear
  const std::int64_t bits = 64 * static_cast<std::int64_t>(words.size());
  for (std::int64_t from = 0; from <= bits; ++from) {
    for (std::int64_t to = from; to <= bits; ++to) {
      std::int64_t set = 0, last_clear = -1;
      for (std::int64_t t = from; t < to; ++t) {
        if (bit_is_set(words, t)) {
          ++set;
        } else {
          last_clear = t;
        }
      }
      ASSERT_EQ(count_set_bits(words, from, to), set) << from << " " << to;
      ASSERT_EQ(last_clear_bit(words, from, to), last_clear) << from << " " << to;
    }
  }
  EXPECT_EQ(count_set_bits(words, 10, 3), 0);
}

TEST(FastMask, EqualsTheReferenceOnChosenSegments) {
  const Segment cases[] = {
      // The worked run and short segments: no period, head marks beyond N.
      {"11", "1", 46, 10.0f},
      {"11", "1", 0, 10.0f},
      {"11", "1", 1, 10.0f},
      {"11", "7", 19, 10.0f},
      {"61", "1", 120, 20.0f},
      {"61", "60", 121, 20.0f},  // anchor at bit 0, one period
      {"61", "59", 200, 20.0f},
      // Exponents that are not prime to 30 (a resumed run may hold one):
      // no class pattern, the whole segment is plain.
      {"3", "1", 5000, 30.0f},
      {"5", "17", 3000, 30.0f},
      {"9", "1", 4000, 30.0f},
      {"2", "1", 1000, 30.0f},
      // Exponents that are sieving primes themselves: no multiple at all.
      {"1277", "1", 100000, 40.0f},
      {"69257", "123456", 200000, 58.0f},
      // Every t0/t1 start and every class row over a few periods.
      {"7", "1", 2000, 12.0f},   {"13", "2", 2000, 12.0f},   {"17", "3", 2000, 12.0f},
      {"19", "4", 2000, 12.0f},  {"23", "5", 2000, 12.0f},   {"29", "6", 2000, 12.0f},
      {"31", "7", 2000, 12.0f},  {"37", "8", 2000, 12.0f},   {"41", "9", 2000, 12.0f},
      {"43", "10", 2000, 12.0f}, {"47", "11", 2000, 12.0f},  {"49", "12", 2000, 12.0f},
      {"53", "13", 2000, 12.0f}, {"59", "14", 2000, 12.0f},  {"61", "15", 2000, 12.0f},
      {"67", "16", 2000, 12.0f},
      // Large exponents and k: above 2^61 and above 2^64.
      {"2305843009213693951", "1", 50000, 30.0f},
      {"2305843009213693951", "1000000000000000000000", 70000, 24.0f},
      {"170141183460469231731687303715884105727", "999", 10000, 20.0f},
      // Primes above 66000 in use, a segment of a few million.
      {"86249", "6683680417203", 3000000, 60.0f},
      {"3321928097", "31000000", 1000000, 57.2f},
  };
  for (const Segment& s : cases) expect_same_mask(s);
}

TEST(FastMask, BlockSizeDoesNotChangeTheMask) {
  // Many block boundaries inside each lane, for the word patterns of the
  // primes below 64 and the bit marks of the others alike; and small blocks
  // inside large ones (primes below a quarter of the small block go through
  // those), a small block as large as a large one, and the caches' own.
  for (const std::int64_t block : {64, 128, 192, 4096}) {
    expect_same_mask({"86249", "6683680417203", 400000, 60.0f}, block);
    expect_same_mask({"1277", "61", 100000, 20.0f}, block);
  }
  const std::pair<std::int64_t, std::int64_t> tiers[] = {
      {64, 192}, {128, 4096}, {1024, 4096}, {4096, 4096}, {4096, 65536}};
  for (const auto& [small, large] : tiers) {
    expect_same_mask({"86249", "6683680417203", 120000, 60.0f}, large, {0, 3}, small);
    expect_same_mask({"3321928097", "31000000", 40000, 57.2f}, large, {0}, small);
  }
  const CacheSizes caches = cache_sizes();
  EXPECT_GE(caches.l1_data, 1024);
  EXPECT_GE(caches.l2, caches.l1_data);
}

TEST(FastMask, BuiltInPartsEqualsTheReference) {
  // Parts as the threads of a run take them: fewer and more parts than the
  // 16 lanes, pieces of a lane shorter than a word, plain segments (p not
  // prime to 30) and segments shorter than the number of parts.
  const Segment segments[] = {
      {"86249", "6683680417203", 400000, 60.0f},
      {"3321928097", "31000000", 100000, 57.2f},
      {"9", "1", 40000, 30.0f},
      {"11", "1", 46, 10.0f},
      {"61", "60", 121, 20.0f},
      {"11", "7", 19, 10.0f},
  };
  for (const Segment& s : segments) expect_same_mask(s, 0, {1, 2, 3, 7, 16, 17, 64, 1024});
  expect_same_mask({"86249", "6683680417203", 400000, 60.0f}, 128, {5});
}

// The deeper sieve against an account of its own: the plan's reference
// marks plus every offset whose candidate is a multiple of a prime q above
// the plan's largest, up to the bound, that divides neither p nor M(p)
// (2^p mod q by mpz_powm). The plan's count must not change, and no
// candidate that divides M(p) may be struck.
void expect_deep_mask(const Segment& s, std::uint32_t bound, std::int64_t block_bits,
                      const std::vector<int>& parts_list, int planted_divisors = 0) {
  BigInt p, k, two_p, first;
  mpz_set_str(p, s.p.c_str(), 10);
  mpz_set_str(k, s.k_first.c_str(), 10);
  mpz_mul_ui(two_p, p, 2);
  mpz_mul(first, k, two_p);
  mpz_add_ui(first, first, 1);
  const SmallPrimeTable& table = built_prime_table();
  const std::int32_t count = sieve_prime_count_for(table, s.end_bits);

  static CandidateWindow window;
  BigInt reference;
  build_candidate_mask(window, reference, first, two_p, s.n);
  mark_small_primes(table, count, window, reference, s.n);
  const std::int64_t bits = std::max<std::int64_t>(std::int64_t{s.n} + 1, 61);
  std::vector<bool> want(static_cast<std::size_t>(bits));
  for (std::int64_t i = 0; i < bits; ++i) {
    want[static_cast<std::size_t>(i)] = mpz_tstbit(reference, static_cast<mp_bitcnt_t>(i));
  }
  const std::uint32_t plan_top =
      count > 3 ? static_cast<std::uint32_t>(table.primes[static_cast<std::size_t>(count - 1)]) : 5;
  std::vector<bool> composite(bound + 1, false);
  BigInt q_big, residue, root, step;
  const BigInt two(2);
  for (std::uint32_t q = 2; q <= bound; ++q) {
    if (composite[q]) continue;
    for (std::uint64_t m = std::uint64_t{q} * q; m <= bound; m += q) composite[m] = true;
    if (q <= plan_top || mpz_divisible_ui_p(p, q)) continue;
    mpz_set_ui(q_big, q);
    mpz_powm(residue, two, p, q_big);
    if (mpz_cmp_ui(residue, 1) == 0) continue;  // q divides M(p): it must strike nothing
    // q = 1 mod 2p is a candidate itself, which every path tests (it may be
    // a residue witness): it strikes nothing either.
    mpz_sub_ui(residue, q_big, 1);
    if (mpz_divisible_p(residue, two_p)) continue;
    // first + o * 2p = 0 (mod q)
    mpz_invert(step, two_p, q_big);
    mpz_neg(root, first);
    mpz_mul(root, root, step);
    mpz_fdiv_r(root, root, q_big);
    for (std::int64_t o = static_cast<std::int64_t>(mpz_get_ui(root)); o < s.n; o += q) {
      want[static_cast<std::size_t>(o)] = true;
    }
  }
  // The divisors of M(p) among the plan's survivors.
  std::vector<std::int64_t> divisors;
  BigInt d;
  for (std::int64_t i = 0; i < s.n; ++i) {
    if (mpz_tstbit(reference, static_cast<mp_bitcnt_t>(i))) continue;
    mpz_set(d, two_p);
    mpz_mul_ui(d, d, static_cast<unsigned long>(i));
    mpz_add(d, d, first);
    mpz_powm(residue, two, p, d);
    if (mpz_cmp_ui(residue, 1) == 0) divisors.push_back(i);
  }
  EXPECT_GE(static_cast<int>(divisors.size()), planted_divisors) << describe(s);
  std::vector<std::int64_t> plan_last;
  for (const auto& [from, to] : segment_chunks(s.n)) {
    std::int64_t last = std::min<std::int64_t>(to, s.n) - 1;
    while (last >= from && mpz_tstbit(reference, static_cast<mp_bitcnt_t>(last))) --last;
    plan_last.push_back(last >= from ? last : -1);
  }

  FastSieveContext ctx;
  prepare_fast_sieve(ctx, table, count, p, bound);
  if (block_bits > 0) ctx.block_bits = block_bits;
  for (std::size_t entry = 0; entry < parts_list.size(); ++entry) {
    const int parts = parts_list[entry];
    const bool last_first = entry % 2 == 0;
    SCOPED_TRACE(describe(s) + " bound " + std::to_string(bound) + " parts " +
                 std::to_string(parts) + (last_first ? " last first" : " first first"));
    FastMask fast;
    const std::int64_t plan_marks =
        sieve_segment_in_shares(fast, ctx, k, s.n, parts, one_by_one(parts, last_first));
    EXPECT_EQ(plan_marks, count_marked(reference, s.n));
    // Each twentieth's last offset that the plan leaves clear, whatever the
    // deeper marks strike.
    ASSERT_EQ(fast.plan_last.size(), plan_last.size());
    for (std::size_t c = 0; c < plan_last.size(); ++c) {
      EXPECT_EQ(fast.plan_last[c], plan_last[c]) << "twentieth " << c;
    }
    const std::vector<std::uint64_t> words = expand_fast_mask(fast);
    std::int64_t mismatches = 0;
    for (std::int64_t i = 0; i < bits; ++i) {
      const bool got = (words[static_cast<std::size_t>(i >> 6)] >> (i & 63)) & 1;
      if (want[static_cast<std::size_t>(i)] != got && mismatches++ < 5) {
        ADD_FAILURE() << "bit " << i << " expected " << want[static_cast<std::size_t>(i)]
                      << " deeper mask " << got;
      }
    }
    EXPECT_EQ(mismatches, 0);
    for (const std::int64_t i : divisors) {
      EXPECT_FALSE(fast_mask_test(fast, i)) << "divisor at offset " << i << " struck";
    }
  }
}

TEST(FastMask, DeeperSieveStrikesMultiplesOfPrimesThatDivideNoDivisor) {
  struct Case {
    Segment segment;
    std::uint32_t bound;
    std::int64_t block_bits;  // 0: the default
    int planted;              // divisors of M(p) the segment holds at least
  };
  const Case cases[] = {
      // 150287 * 704161 divides M163, both primes above the plan's (to 70000).
      {{"163", "324570381", 100000, 60.0f}, kDeepSieveBound, 0, 1},
      // q = 1 mod 2p inside the deeper range: 228479 | M71 at k = 1609; and
      // 150287 (k 461), 704161 (k 2160) for M163.
      {{"71", "1", 300000, 20.0f}, kDeepSieveBound, 0, 1},
      {{"163", "1", 3000, 20.0f}, kDeepSieveBound, 0, 2},
      // 55871 * 165799 divides M151; many block boundaries.
      {{"151", "30640000", 60000, 40.0f}, 400000, 128, 1},
      // Plain masks (p not prime to 30), short segments (head and tail only).
      {{"9", "1", 40000, 30.0f}, 300000, 0, 0},
      {{"11", "1", 46, 10.0f}, 100000, 0, 0},
      {{"61", "60", 121, 20.0f}, 100000, 0, 0},
      // The smallest plan (primes to about 8500).
      {{"1277", "61", 5000, 2.0f}, 50000, 0, 0},
      {{"86249", "6683680417203", 400000, 60.0f}, kDeepSieveBound, 0, 0},
      {{"3321928097", "31000000", 100000, 57.2f}, kDeepSieveBound, 0, 0},
  };
  for (const Case& c : cases) {
    expect_deep_mask(c.segment, c.bound, c.block_bits, {1, 2, 3, 7, 17}, c.planted);
  }
}

TEST(FastMask, EqualsTheReferenceOnRandomSegments) {
  const unsigned seed = 20261207;
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const char* exponents[] = {"11", "23", "1277", "86249", "1000003", "3321928097",
                             "18446744073709551557"};
  for (int round = 0; round < 30; ++round) {
    Segment s;
    s.p = exponents[rng() % std::size(exponents)];
    // k_first on and off multiples of 60.
    const std::uint64_t k = (rng() % 2 == 0) ? 60 * (1 + rng() % 100000) : 1 + rng() % 5000000;
    s.k_first = std::to_string(k);
    s.n = static_cast<std::int32_t>(rng() % (round < 24 ? 3000 : 300000));
    s.end_bits = static_cast<float>(2 + rng() % 20);
    expect_same_mask(s);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The sieve on the OpenCL device (the tests' device: PoCL in CI) against the
// fast mask, word for word, without the deeper marks and with them; and its
// count, each twentieth's last clear offset and its divisors against the
// same segment done on the CPU.

namespace {

// The bits [0, bits) of a region as the fast mask holds them.
std::vector<bool> mask_bits(const std::vector<std::uint64_t>& words, std::int64_t bits) {
  std::vector<bool> out(static_cast<std::size_t>(bits));
  for (std::int64_t t = 0; t < bits; ++t) {
    out[static_cast<std::size_t>(t)] = (words[static_cast<std::size_t>(t >> 6)] >> (t & 63)) & 1;
  }
  return out;
}

std::vector<bool> device_bits(const std::vector<std::uint32_t>& words, std::int64_t bits) {
  std::vector<bool> out(static_cast<std::size_t>(bits));
  for (std::int64_t t = 0; t < bits; ++t) {
    out[static_cast<std::size_t>(t)] = (words[static_cast<std::size_t>(t >> 5)] >> (t & 31)) & 1;
  }
  return out;
}

// The regions of a fast mask in the device's order: the head, the 16 lanes,
// the tail (the empty ones left out), or the one plain region.
std::vector<std::vector<bool>> regions_of(const FastMask& mask) {
  std::vector<std::vector<bool>> out;
  if (mask.head_end > 0) out.push_back(mask_bits(mask.head, mask.head_end));
  if (mask.periods == 0) return out;
  for (const auto& lane : mask.lanes) out.push_back(mask_bits(lane, mask.periods));
  if (mask.tail_end > mask.tail_start) {
    out.push_back(mask_bits(mask.tail, mask.tail_end - mask.tail_start));
  }
  return out;
}

void expect_device_sieve(OpenClDevice& device, const Segment& s, std::uint32_t deep_bound) {
  SCOPED_TRACE(describe(s) + " deeper bound " + std::to_string(deep_bound));
  BigInt p, k, two_p, first, last;
  mpz_set_str(p, s.p.c_str(), 10);
  mpz_set_str(k, s.k_first.c_str(), 10);
  mpz_mul_ui(two_p, p, 2);
  const std::int32_t count = sieve_prime_count_for(built_prime_table(), s.end_bits);
  FastSieveContext ctx;
  prepare_fast_sieve(ctx, built_prime_table(), count, p, deep_bound);
  OpenClSegments segments(device);
  ASSERT_TRUE(segments.load_primes(ctx)) << device.failure();
  const SegmentCandidates candidates(p, two_p, k, s.n);
  ASSERT_TRUE(candidates.native && candidates.max_bits <= OpenClDevice::kMaxBits);

  const DeviceSegmentJob job = segment_job(ctx, candidates, segment_chunks(s.n));

  // The plan's marks (from a context without the deeper primes), then the
  // deeper ones too, region by region.
  FastSieveContext plan_ctx;
  prepare_fast_sieve(plan_ctx, built_prime_table(), count, p);
  FastMask plan, mask;
  build_fast_mask(plan, plan_ctx, k, s.n);
  build_fast_mask(mask, ctx, k, s.n);
  for (const bool deeper : {false, true}) {
    std::vector<std::vector<std::uint32_t>> regions;
    ASSERT_TRUE(segments.marks(job, deeper, regions)) << device.failure();
    const std::vector<std::vector<bool>> want = regions_of(deeper ? mask : plan);
    ASSERT_EQ(regions.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r) {
      const auto bits = static_cast<std::int64_t>(want[r].size());
      const std::vector<bool> got = device_bits(regions[r], bits);
      std::int64_t wrong = 0;
      for (std::int64_t t = 0; t < bits; ++t) {
        if (got[static_cast<std::size_t>(t)] != want[r][static_cast<std::size_t>(t)] &&
            wrong++ < 3) {
          ADD_FAILURE() << (deeper ? "deeper" : "plan") << " region " << r << " bit " << t
                        << ": device " << got[static_cast<std::size_t>(t)] << ", CPU "
                        << want[r][static_cast<std::size_t>(t)];
        }
      }
      EXPECT_EQ(wrong, 0) << "region " << r;
    }
  }

  // The whole segment: count, last clear offsets, divisors.
  ASSERT_TRUE(segments.submit(0, job)) << device.failure();
  DeviceSegmentResult result;
  ASSERT_EQ(segments.collect(0, result), DeviceCollected::Done) << device.failure();
  EXPECT_EQ(result.marked, fast_count_marked(plan));
  ASSERT_EQ(result.last.size(), job.chunks.size());
  for (std::size_t c = 0; c < job.chunks.size(); ++c) {
    EXPECT_EQ(result.last[c], fast_last_clear(plan, job.chunks[c].first, job.chunks[c].second))
        << "twentieth " << c;
  }
  std::vector<std::int64_t> divisors;
  BigInt d, residue;
  for_each_clear(mask, 0, s.n, [&](std::int64_t o) {
    mpz_add_ui(d, k, static_cast<unsigned long>(o));
    mpz_mul(d, d, two_p);
    mpz_add_ui(d, d, 1);
    if (divides_mersenne(residue, p, d)) divisors.push_back(o);
  });
  std::sort(divisors.begin(), divisors.end());
  std::vector<std::int64_t> hits(result.hits.begin(), result.hits.end());
  std::sort(hits.begin(), hits.end());
  EXPECT_EQ(hits, divisors);
}

}  // namespace

TEST(DeviceSieve, MarksCountsAndDivisorsAsTheCpu) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const std::vector<std::pair<Segment, std::uint32_t>> cases = {
      // The worked run and short segments: no period, head marks beyond N.
      {{"11", "1", 46, 10.0f}, kDeepSieveBound},
      {{"11", "1", 1, 10.0f}, kDeepSieveBound},
      {{"11", "7", 19, 10.0f}, 1000},
      {{"61", "1", 120, 20.0f}, kDeepSieveBound},
      {{"61", "60", 121, 20.0f}, kDeepSieveBound},  // anchor at 0, one period
      {{"61", "59", 200, 20.0f}, kDeepSieveBound},  // anchor at 59
      // p not prime to 30 (a checkpoint may hold one): one plain region.
      {{"25", "1", 250000, 24.0f}, kDeepSieveBound},
      {{"9", "1", 40000, 30.0f}, 300000},
      // Primes dividing p mark nothing; a plan of primes below 64 only.
      {{"1277", "1", 100000, 40.0f}, kDeepSieveBound},
      {{"69257", "123456", 200000, 58.0f}, kDeepSieveBound},
      {{"1277", "61", 5000, 2.0f}, 50000},
      // Every class row over a few periods, k_first on and off multiples of 60.
      {{"7", "1", 2000, 12.0f}, 20000},     {{"13", "2", 2000, 12.0f}, 20000},
      {{"17", "3", 2000, 12.0f}, 20000},    {{"19", "60", 2000, 12.0f}, 20000},
      {{"23", "120", 2000, 12.0f}, 20000},  {{"29", "6", 2000, 12.0f}, 20000},
      {{"31", "7", 2000, 12.0f}, 20000},    {{"37", "8", 2000, 12.0f}, 20000},
      // Divisors of M(p) that are multiples of primes in the deeper range.
      {{"163", "324570381", 100000, 60.0f}, kDeepSieveBound},
      {{"163", "1", 3000, 20.0f}, kDeepSieveBound},
      {{"71", "1", 300000, 20.0f}, kDeepSieveBound},
      {{"151", "30640000", 60000, 40.0f}, 400000},
      // Primes above 66000 in use (57.13 bits and more), several blocks a
      // lane, deeper primes beyond the block size; 64-bit exponents, k
      // beyond 2^64.
      {{"86249", "6683680417203", 3000000, 60.0f}, 4000000},
      {{"3321928097", "31000000", 1000000, 57.2f}, kDeepSieveBound},
      {{"18446744073709551557", "1000000000000", 100000, 20.0f}, kDeepSieveBound},
      {{"86249", "123292142126625549087299058283", 100000, 72.0f}, kDeepSieveBound},
  };
  for (const auto& [segment, bound] : cases) expect_device_sieve(*device, segment, bound);
}

TEST(DeviceSieve, RandomSegmentsAsTheCpu) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const unsigned seed = 20261209;
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const char* exponents[] = {"11", "23", "1277", "86249", "1000003", "3321928097"};
  for (int round = 0; round < 12; ++round) {
    Segment s;
    s.p = exponents[rng() % std::size(exponents)];
    const std::uint64_t k = (rng() % 2 == 0) ? 60 * (1 + rng() % 100000) : 1 + rng() % 5000000;
    s.k_first = std::to_string(k);
    s.n = static_cast<std::int32_t>(rng() % (round < 8 ? 3000 : 600000));
    s.end_bits = static_cast<float>(2 + rng() % 40);
    expect_device_sieve(*device, s, kDeepSieveBound);
  }
}
