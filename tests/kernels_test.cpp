// SPDX-License-Identifier: MIT
// The exponentiation kernels against GMP's mpz_powm: random candidates of
// every size each kernel accepts, the values around its limits, factors of
// 2^p - 1 planted in every lane of a batch, and batch sizes around the lane
// count.
#include "kernels/kernels.h"
#include "gpu/device_tuning.h"
#include "gpu/opencl_batches.h"
#include "support/opencl.h"
#include "support/run_program.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// Readable kernel names in test output.
void PrintTo(Kernel k, std::ostream* os) { *os << kernel_name(k); }

namespace {

constexpr std::uint64_t kSeed = 20261207;
constexpr std::uint64_t kMaxP = ~std::uint64_t(0);

std::string str(u128 x) {
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(x % 10)));
    x /= 10;
  } while (x != 0);
  return s;
}

void to_mpz(mpz_t out, u128 x) {
  const std::uint64_t limbs[2] = {static_cast<std::uint64_t>(x),
                                  static_cast<std::uint64_t>(x >> 64)};
  mpz_import(out, 2, -1, sizeof limbs[0], 0, 0, limbs);
}

u128 from_mpz(const mpz_t x) {
  std::uint64_t limbs[2] = {0, 0};
  EXPECT_LE(mpz_sizeinbase(x, 2), 128u);
  mpz_export(limbs, nullptr, -1, sizeof limbs[0], 0, 0, x);
  return (u128(limbs[1]) << 64) | limbs[0];
}

// 2^p mod d by mpz_powm: the reference every kernel must match.
class Reference {
 public:
  Reference() { mpz_inits(base_, exp_, mod_, r_, nullptr); mpz_set_ui(base_, 2); }
  ~Reference() { mpz_clears(base_, exp_, mod_, r_, nullptr); }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;

  u128 powm2(std::uint64_t p, u128 d) {
    mpz_import(exp_, 1, -1, sizeof p, 0, 0, &p);
    to_mpz(mod_, d);
    mpz_powm(r_, base_, exp_, mod_);
    return from_mpz(r_);
  }

 private:
  mpz_t base_, exp_, mod_, r_;
};

Reference& reference() {
  static Reference ref;
  return ref;
}

// Odd, exactly `bits` bits long (2 <= bits <= 128).
u128 random_odd(std::mt19937_64& rng, unsigned bits) {
  u128 x = (u128(rng()) << 64) | rng();
  if (bits < 128) x &= (u128(1) << bits) - 1;
  return x | (u128(1) << (bits - 1)) | 1;
}

// Exactly `bits` bits long (1 <= bits <= 64).
std::uint64_t random_exponent(std::mt19937_64& rng, unsigned bits) {
  std::uint64_t x = rng();
  if (bits < 64) x &= (std::uint64_t(1) << bits) - 1;
  return x | (std::uint64_t(1) << (bits - 1));
}

bool below_bound(Kernel k, u128 d) {
  const unsigned bits = kernel_max_bits(k);
  return bits >= 128 || d < (u128(1) << bits);
}

// Exponents that stress the exponent walk: the shortest, single bits, runs of
// ones (a doubling after every squaring), the widest.
std::vector<std::uint64_t> edge_exponents() {
  std::vector<std::uint64_t> ps = {1, 2, 3, 4, 5, 6, 7, 11, 86249, 3321928097, kMaxP};
  for (unsigned k = 2; k < 64; k += 3) {
    ps.push_back(std::uint64_t(1) << k);
    ps.push_back((std::uint64_t(1) << k) - 1);
    ps.push_back((std::uint64_t(1) << k) + 1);
  }
  ps.push_back(std::uint64_t(1) << 63);
  ps.push_back((std::uint64_t(1) << 63) + 1);
  ps.push_back(kMaxP - 1);
  return ps;
}

class KernelTest : public ::testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (!kernel_available(kernel())) GTEST_SKIP() << "this CPU lacks " << kernel_name(kernel());
  }
  Kernel kernel() const { return GetParam(); }
  std::size_t width() const { return kernel_batch_width(kernel()); }
  std::size_t calls_ = 0;

  // Both entry points on one batch against the reference, the verdicts
  // asked to flag residues ending in a number of zero bits that changes from
  // call to call (none, few, the witnesses' 10 and 16, up to the most);
  // reports the first few mismatches and returns how many there were.
  int check(std::uint64_t p, const std::vector<u128>& d) {
    static constexpr unsigned kFlagBits[] = {0, 1, 2, 3, 4, 5, 8, 10, 12, 16, 24, 40, 51};
    const unsigned bits = kFlagBits[calls_++ % std::size(kFlagBits)];
    const u128 mask = bits == 0 ? 0 : (u128(1) << bits) - 1;
    std::vector<u128> residue(d.size(), 0);
    std::vector<std::uint8_t> divides(d.size(), 4);
    powm2_batch(kernel(), p, d.data(), d.size(), residue.data());
    divides_batch(kernel(), p, d.data(), d.size(), divides.data(), bits);
    int bad = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
      const u128 want = reference().powm2(p, d[i]);
      const int verdict =
          (want == 1 ? kDivides : 0) | (bits > 0 && (want & mask) == 0 ? kFlagged : 0);
      if (residue[i] == want && divides[i] == verdict) continue;
      if (++bad <= 5) {
        ADD_FAILURE() << kernel_name(kernel()) << ": p=" << p << " d=" << str(d[i])
                      << " lane " << i << " of " << d.size() << ": residue " << str(residue[i])
                      << " verdict " << int(divides[i]) << " (flags of " << bits
                      << " bits), want " << str(want);
      }
    }
    return bad;
  }
};

std::string param_name(const ::testing::TestParamInfo<Kernel>& info) {
  return std::string(kernel_name(info.param));
}

// A million random candidates per kernel, an equal share for every bit length
// from 2 to the kernel's bound, in batches of varying size and exponent. Every
// eighth batch mixes all sizes, so small and large candidates share a block,
// and another eighth mixes the sizes up to the current one, so that every
// size at which a kernel changes its way of working per block (its start,
// its lazy form) also meets smaller candidates in the same block.
TEST_P(KernelTest, MatchesGmpOnRandomCandidatesOfEveryLength) {
  const std::uint64_t seed = kSeed + static_cast<unsigned>(kernel());
  std::cout << "seed " << seed << '\n';
  std::mt19937_64 rng(seed);
  const unsigned max_bits = kernel_max_bits(kernel());
  const std::size_t per_length = 1000000 / (max_bits - 1) + 1;
  const std::vector<std::uint64_t> edges = edge_exponents();
  std::size_t batches = 0, total = 0;
  int bad = 0;
  for (unsigned bits = 2; bits <= max_bits && bad == 0; ++bits) {
    for (std::size_t done = 0; done < per_length && bad == 0; ++batches) {
      const std::uint64_t p = batches % 4 == 0
                                  ? edges[(batches / 4) % edges.size()]
                                  : random_exponent(rng, 1 + static_cast<unsigned>(rng() % 64));
      const std::size_t n = 1 + rng() % (2 * width() + 17);
      std::vector<u128> d(n);
      for (u128& x : d) {
        const unsigned top = batches % 8 == 7 ? max_bits : batches % 8 == 3 ? bits : 0;
        x = random_odd(rng, top != 0 ? 2 + static_cast<unsigned>(rng() % (top - 1)) : bits);
      }
      bad += check(p, d);
      done += n;
      total += n;
    }
  }
  EXPECT_EQ(bad, 0);
  EXPECT_GE(total, 1000000u);
}

// The values around 2^51, 2^52, 2^53, 2^54, 2^58, 2^60, 2^64, 2^96, 2^97,
// 2^98, 2^100, 2^124, 2^127 and 2^128 that the kernel accepts (limb, start,
// lazy-form and kernel limits), the top of its range, every small odd d, and
// low 52-bit limbs at either end (1, 3, 2^52 - 3, 2^52 - 1: inverses of 1
// and -1 modulo 2^52) under high limbs up to the largest below 2^100, and
// low 51-bit limbs alike under high limbs up to the largest below 2^98,
// under many exponents.
TEST_P(KernelTest, MatchesGmpAtTheLimits) {
  std::vector<u128> d;
  for (u128 x = 3; x < 400; x += 2) d.push_back(x);
  for (const unsigned limb : {52u, 51u}) {
    const unsigned high_bits = 100 - 2 * (52 - limb) - limb;  // 48 or 47
    for (const u128 high : {u128(1), u128(1) << (high_bits - 1), (u128(1) << high_bits) - 1}) {
      for (const u128 low : {u128(1), u128(3), (u128(1) << limb) - 3, (u128(1) << limb) - 1}) {
        d.push_back(high << limb | low);
      }
    }
  }
  for (unsigned b : {51u, 52u, 53u, 54u, 58u, 60u, 64u, 96u, 97u, 98u, 100u, 124u, 127u, 128u}) {
    const u128 edge = b == 128 ? 0 : u128(1) << b;  // 2^128 wraps to 0
    for (unsigned j = 1; j < 12; j += 2) {
      d.push_back(edge - j);
      if (b < 128) d.push_back(edge + j);
    }
  }
  const unsigned top = kernel_max_bits(kernel());
  const u128 top_edge = top == 128 ? 0 : u128(1) << top;
  for (unsigned j = 1; j < 80; j += 2) d.push_back(top_edge - j);
  for (unsigned j = 1; j < 20; j += 2) d.push_back((top_edge >> 1) + j);
  std::erase_if(d, [this](u128 x) { return !below_bound(kernel(), x); });

  std::vector<std::uint64_t> ps = edge_exponents();
  for (std::uint64_t p = 1; p <= 130; ++p) ps.push_back(p);
  std::mt19937_64 rng(kSeed);
  for (int i = 0; i < 64; ++i) ps.push_back(random_exponent(rng, 1 + static_cast<unsigned>(i)));
  int bad = 0;
  for (std::uint64_t p : ps) {
    bad += check(p, d);
    std::reverse(d.begin(), d.end());  // each value also visits other lanes
    if (bad > 0) break;
  }
  EXPECT_EQ(bad, 0);
}

TEST_P(KernelTest, HandlesEveryBatchSizeAroundTheLaneCount) {
  // An empty batch touches nothing, not even the pointers.
  powm2_batch(kernel(), 5, nullptr, 0, nullptr);
  divides_batch(kernel(), 5, nullptr, 0, nullptr);

  std::mt19937_64 rng(kSeed);
  const std::size_t w = width();
  std::set<std::size_t> sizes = {1, 2, 3, 5, 7, 9, 13, 97, w, w + 1, 2 * w - 1, 2 * w,
                                 2 * w + 1, 3 * w + 7};
  if (w > 1) sizes.insert(w - 1);
  const unsigned max_bits = std::min(kernel_max_bits(kernel()), 100u);
  for (std::size_t n : sizes) {
    std::vector<u128> d(n);
    for (u128& x : d) x = random_odd(rng, max_bits - static_cast<unsigned>(rng() % 8));
    EXPECT_EQ(check(86249, d), 0) << "n=" << n;
    // Nothing beyond the n-th output is written.
    std::vector<u128> residue(n + 8, 77);
    std::vector<std::uint8_t> divides(n + 8, 77);
    powm2_batch(kernel(), 3321928097, d.data(), n, residue.data());
    divides_batch(kernel(), 3321928097, d.data(), n, divides.data());
    for (std::size_t i = n; i < n + 8; ++i) {
      EXPECT_EQ(residue[i], 77u) << "n=" << n;
      EXPECT_EQ(divides[i], 77u) << "n=" << n;
    }
  }
}

// ---------------------------------------------------------------------------
// Planted factors.

struct Planted {
  std::uint64_t p;
  std::vector<u128> factors;  // divisors of 2^p - 1, all of the form 2kp + 1
};

// Divisors 2kp + 1 of 2^p - 1 with k <= k_max, found with mpz_powm, together
// with 2^p - 1 itself and the cofactor of each (when below 2^128). For prime
// p > 7 a factor is 1 or 7 mod 8 and prime to 3, 5 and 7; the filter only
// saves time.
std::vector<u128> search_factors(std::uint64_t p, std::uint64_t k_max) {
  std::set<u128> found;
  for (std::uint64_t k = 1; k <= k_max; ++k) {
    const u128 d = 2 * u128(k) * p + 1;
    if (p > 7 && ((d % 8 != 1 && d % 8 != 7) || d % 3 == 0 || d % 5 == 0 || d % 7 == 0)) continue;
    if (reference().powm2(p, d) == 1) found.insert(d);
  }
  if (p < 128) {
    mpz_t m, f, q;
    mpz_inits(m, f, q, nullptr);
    mpz_ui_pow_ui(m, 2, p);
    mpz_sub_ui(m, m, 1);
    const std::set<u128> small = found;
    found.insert(from_mpz(m));
    for (u128 x : small) {
      to_mpz(f, x);
      mpz_divexact(q, m, f);
      if (mpz_cmp_ui(q, 1) > 0) found.insert(from_mpz(q));
    }
    mpz_clears(m, f, q, nullptr);
  }
  return {found.begin(), found.end()};
}

const std::vector<Planted>& planted() {
  static const std::vector<Planted> all = [] {
    std::vector<Planted> out;
    const std::pair<std::uint64_t, std::uint64_t> searches[] = {
        {11, 100},   {23, 100},   {29, 100},  {37, 100},  {41, 4096}, {43, 4096},
        {47, 4096},  {53, 4096},  {59, 4096}, {61, 100},  {67, 1500000}, {71, 1500000},
        {73, 4096},  {79, 4096},  {83, 4096}, {89, 100},  {97, 4096}, {101, 4096},
        {103, 4096}, {107, 100},  {109, 4096}, {113, 4096}, {127, 100}};
    for (auto [p, k_max] : searches) out.push_back({p, search_factors(p, k_max)});
    // Larger prime exponents: the first few from a handful of starting points
    // that have a factor with k below 2^13.
    mpz_t z;
    mpz_init(z);
    for (std::uint64_t start : {86243ull, 1ull << 31, 3321928097ull, 1ull << 40, 1ull << 62}) {
      int kept = 0;
      for (std::uint64_t p = start | 1; kept < 2; p += 2) {
        mpz_import(z, 1, -1, sizeof p, 0, 0, &p);
        if (mpz_probab_prime_p(z, 30) == 0) continue;
        std::vector<u128> f = search_factors(p, 1 << 13);
        if (!f.empty()) {
          out.push_back({p, f});
          ++kept;
        }
      }
    }
    mpz_clear(z);
    // Exponents up to 2^64 - 1 with known divisors: d | 2^q - 1 divides
    // 2^(jq) - 1 for every j.
    const std::size_t base = out.size();
    for (std::size_t i = 0; i < base; ++i) {
      const std::uint64_t q = out[i].p;
      out.push_back({kMaxP / q * q, out[i].factors});
    }
    return out;
  }();
  return all;
}

TEST(KernelPlanted, SearchFindsTheKnownFactors) {
  // Factors recorded in the literature must turn up, so the search itself is
  // sound.
  const auto has = [](std::uint64_t p, u128 f) {
    for (const Planted& pl : planted()) {
      if (pl.p == p) return std::find(pl.factors.begin(), pl.factors.end(), f) != pl.factors.end();
    }
    return false;
  };
  EXPECT_TRUE(has(11, 23));
  EXPECT_TRUE(has(11, 89));
  EXPECT_TRUE(has(37, 223));
  EXPECT_TRUE(has(37, 616318177));
  EXPECT_TRUE(has(67, 193707721));
  EXPECT_TRUE(has(67, 761838257287));
  EXPECT_TRUE(has(71, 228479));
  EXPECT_TRUE(has(71, 48544121));
  EXPECT_TRUE(has(71, 212885833));
  std::size_t large = 0;
  for (const Planted& pl : planted()) {
    if (pl.p > 80000) large += pl.factors.size();
  }
  EXPECT_GE(large, 10u);
}

// n values near f that the kernel accepts and that do not divide 2^p - 1:
// candidates 2kp + 1 as a search would test them, or, where those leave the
// kernel's range (p near 2^64), odd numbers next to f.
std::vector<u128> non_divisors_near(Kernel kernel, std::uint64_t p, u128 f, std::size_t n) {
  std::vector<u128> out;
  for (const u128 step : {2 * u128(p), u128(2)}) {
    out.clear();
    for (u128 j = 1; out.size() < n && j < 8 * n; ++j) {
      const u128 below = f - step * j, above = f + step * j;
      for (const u128 x : {below, above}) {
        const bool in_range = (x == below ? below < f : above > f) && x >= 3;
        if (out.size() < n && in_range && below_bound(kernel, x) &&
            reference().powm2(p, x) != 1) {
          out.push_back(x);
        }
      }
    }
    if (out.size() == n) break;
  }
  return out;
}

// Each factor, in every lane of a batch of non-divisors of similar size, must
// be flagged exactly there; then all of a p's factors at once, spread out.
TEST_P(KernelTest, FlagsPlantedFactorsInEveryLane) {
  const std::size_t n = 2 * width() + 3;
  std::size_t planted_count = 0;
  for (const Planted& pl : planted()) {
    std::vector<u128> factors;
    for (u128 f : pl.factors) {
      if (below_bound(kernel(), f)) factors.push_back(f);
    }
    for (u128 f : factors) {
      const std::vector<u128> batch = non_divisors_near(kernel(), pl.p, f, n);
      ASSERT_EQ(batch.size(), n);
      for (std::size_t j = 0; j < n; ++j) {
        std::vector<u128> d = batch;
        d[j] = f;
        std::vector<std::uint8_t> divides(n, 2);
        divides_batch(kernel(), pl.p, d.data(), n, divides.data());
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_EQ(divides[i], i == j ? 1 : 0)
              << kernel_name(kernel()) << ": p=" << pl.p << " factor " << str(f)
              << " in lane " << j << ", lane " << i << " d=" << str(d[i]);
        }
      }
      ++planted_count;
    }
    if (factors.empty()) continue;
    std::vector<u128> d = non_divisors_near(kernel(), pl.p, factors[0], n + factors.size() * 3);
    ASSERT_EQ(d.size(), n + factors.size() * 3);
    for (std::size_t i = 0; i < factors.size(); ++i) d[i * 3 + 1] = factors[i];
    EXPECT_EQ(check(pl.p, d), 0);
  }
  std::cout << planted_count << " factors planted in every lane\n";
  EXPECT_GE(planted_count, 30u);
}

INSTANTIATE_TEST_SUITE_P(AllKernels, KernelTest, ::testing::ValuesIn(kAllKernels),
                         param_name);

// The FMA kernels' exact splits rely on rounding to nearest, which they set
// for themselves: a caller in another rounding mode gets the same residues
// (at sizes with either start, and at the bound) and finds its mode as it
// left it.
TEST(KernelRounding, FmaKernelsAreExactUnderEveryRoundingMode) {
  if (!kernel_available(Kernel::Fma)) GTEST_SKIP() << "this CPU lacks fma";
  std::mt19937_64 rng(kSeed);
  const int modes[] = {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
  for (const Kernel kernel : {Kernel::Fma, Kernel::Fma64}) {
    const std::size_t n = 3 * kernel_batch_width(kernel) + 5;
    for (const unsigned bits : {40u, 54u, 61u, 64u, 73u, 98u}) {
      if (bits > kernel_max_bits(kernel)) continue;
      for (const int mode : modes) {
        const std::uint64_t p = random_exponent(rng, 1 + static_cast<unsigned>(rng() % 64));
        std::vector<u128> d(n), want(n), residue(n);
        std::vector<std::uint8_t> divides(n, 2);
        for (std::size_t i = 0; i < n; ++i) {
          d[i] = random_odd(rng, bits);
          want[i] = reference().powm2(p, d[i]);
        }
        ASSERT_EQ(std::fesetround(mode), 0);
        powm2_batch(kernel, p, d.data(), n, residue.data());
        divides_batch(kernel, p, d.data(), n, divides.data());
        const int after = std::fegetround();
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(after, mode);
        int bad = 0;
        for (std::size_t i = 0; i < n; ++i) {
          if ((residue[i] != want[i] || divides[i] != (want[i] == 1)) && ++bad <= 3) {
            ADD_FAILURE() << kernel_name(kernel) << ", mode " << mode << ": p=" << p
                          << " d=" << str(d[i]) << ": " << str(residue[i]) << ", want "
                          << str(want[i]);
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Choosing a kernel.

TEST(KernelChoice, NamesRoundTrip) {
  for (Kernel k : kAllKernels) {
    EXPECT_EQ(kernel_from_name(kernel_name(k)), k);
  }
  EXPECT_EQ(kernel_from_name("IFMA"), std::nullopt);
  EXPECT_EQ(kernel_from_name(""), std::nullopt);
}

// Both the automatic choice and the one without AVX-512: valid everywhere,
// never the integer library within 128 bits, never IFMA when portable, and
// the same kernel for a size on every call (it is timed once; which kernel
// wins the timing is the benchmarks' business, not a test's).
TEST(KernelChoice, AutomaticChoiceIsValidForEverySize) {
  for (const char* value : {static_cast<const char*>(nullptr), "portable"}) {
    ScopedEnv forced("TAMRISK_KERNEL", value);
    const bool portable = value != nullptr;
    EXPECT_EQ(forced_kernel(), std::nullopt);
    std::vector<Kernel> first;
    for (unsigned bits = 2; bits <= 128; ++bits) {
      const Kernel k = choose_kernel(bits);
      first.push_back(k);
      EXPECT_TRUE(kernel_available(k)) << bits;
      EXPECT_LE(bits, kernel_max_bits(k)) << bits;
      EXPECT_NE(k, Kernel::Gmp) << bits;
      if (portable) {
        EXPECT_NE(k, Kernel::Ifma) << bits;
      }
    }
    for (unsigned bits = 128; bits >= 2; --bits) {
      EXPECT_EQ(choose_kernel(bits), first[bits - 2]) << bits;
    }
    EXPECT_EQ(choose_kernel(129), Kernel::Gmp);
    EXPECT_EQ(choose_kernel(200), Kernel::Gmp);
  }
}

// The rule that turns timings into a choice: the fastest, where a kernel
// later in the order of preference must beat the best so far by more than
// the margin.
TEST(KernelChoice, PicksTheFastestBeyondTheMargin) {
  using kernels_internal::KernelTiming;
  const double edge = 20 * (1 - kernels_internal::kChoiceMargin);  // 19.2 for 4 %
  const struct {
    std::vector<KernelTiming> timings;
    Kernel want;
  } cases[] = {
      {{{Kernel::Mont64, 10}}, Kernel::Mont64},
      {{{Kernel::Ifma, 5}, {Kernel::Fma, 20}, {Kernel::Mont64, 10}}, Kernel::Ifma},
      {{{Kernel::Fma, 20}, {Kernel::Mont64, 10}}, Kernel::Mont64},
      {{{Kernel::Fma, 10}, {Kernel::Mont64, 20}}, Kernel::Fma},
      {{{Kernel::Fma, 20}, {Kernel::Mont64, 20}}, Kernel::Fma},
      // Within the margin the earlier stays; just beyond it the later wins.
      {{{Kernel::Fma, 20}, {Kernel::Mont64, edge + 0.1}}, Kernel::Fma},
      {{{Kernel::Fma, 20}, {Kernel::Mont64, edge - 0.1}}, Kernel::Mont64},
      // Each is measured against the best so far, not against its
      // predecessor: two small steps do not add up to a displacement, and a
      // kernel that displaced another sets the bar for the rest.
      {{{Kernel::Fma, 20}, {Kernel::Avx2, edge + 0.4}, {Kernel::Mont64, edge + 0.1}}, Kernel::Fma},
      {{{Kernel::Fma, 20}, {Kernel::Avx2, 10}, {Kernel::Mont64, 9.8}}, Kernel::Avx2},
      {{{Kernel::Fma, 20}, {Kernel::Avx2, 30}, {Kernel::Mont64, 15}}, Kernel::Mont64},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const KernelTiming& t : c.timings) {
      label += std::string(kernel_name(t.kernel)) + "=" + std::to_string(t.ns) + " ";
    }
    EXPECT_EQ(kernels_internal::pick_fastest(c.timings.data(), c.timings.size()), c.want)
        << label;
  }
}

TEST(KernelChoice, OverrideWinsOnlyWhereValid) {
  const struct {
    const char* value;
    unsigned bits;
    std::optional<Kernel> want;  // nullopt: the automatic choice
  } cases[] = {
      {"gmp", 40, Kernel::Gmp},        {"mont128", 40, Kernel::Mont128},
      {"mont64", 64, Kernel::Mont64},  {"mont64", 65, std::nullopt},
      {"mont128", 128, Kernel::Mont128}, {"ifma", 101, std::nullopt},
      {"mont2x64", 128, Kernel::Mont2x64}, {"mont2x64", 40, Kernel::Mont2x64},
      {"avx2", 101, std::nullopt},     {"fma", 99, std::nullopt},
      {"fma64", 65, std::nullopt},
      {"gmp", 129, Kernel::Gmp},       {"portable", 129, Kernel::Gmp},
      {"fastest", 70, std::nullopt},   {"", 70, std::nullopt},
  };
  for (const auto& c : cases) {
    Kernel automatic;
    {
      ScopedEnv none("TAMRISK_KERNEL", nullptr);
      automatic = choose_kernel(c.bits);
    }
    ScopedEnv forced("TAMRISK_KERNEL", c.value);
    EXPECT_EQ(choose_kernel(c.bits), c.want.value_or(automatic)) << c.value << " " << c.bits;
  }
  for (Kernel k : {Kernel::Ifma, Kernel::Fma, Kernel::Fma64, Kernel::Avx2}) {
    if (!kernel_available(k)) continue;
    ScopedEnv forced("TAMRISK_KERNEL", std::string(kernel_name(k)).c_str());
    EXPECT_EQ(choose_kernel(kernel_max_bits(k)), k);
    EXPECT_EQ(choose_kernel(2), k);
    EXPECT_EQ(forced_kernel(), k);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The OpenCL kernels: their arithmetic (gpu/mont32.h), compiled here for the
// host, and the kernels themselves on the tests' OpenCL device.

namespace mont32_host {
typedef std::uint32_t mont32_u32;
typedef std::uint64_t mont32_u64;
#define MONT32_FN static inline
#define MONT32_UNROLL _Pragma("GCC unroll 8")
#define MONT32_ROLLED _Pragma("GCC unroll 1")
#define mont32_pow2f(x) std::ldexp(1.0f, (x))
#define mont32_ilogbf(x) std::ilogb(x)
#define MONT32_N 3
#include "gpu/mont32.h"
#undef MONT32_N
#define MONT32_N 4
#include "gpu/mont32.h"
#undef MONT32_N
#undef MONT32_FN
#undef MONT32_UNROLL
#undef MONT32_ROLLED
#undef mont32_pow2f
#undef mont32_ilogbf
}  // namespace mont32_host

// The variant built for NVIDIA devices, whose squaring runs on PTX carry
// chains: the same text with the carry flag emulated (gpu/carry32.h).
namespace mont32_chain_host {
typedef std::uint32_t mont32_u32;
typedef std::uint64_t mont32_u64;
#define MONT32_FN static inline
#define MONT32_UNROLL _Pragma("GCC unroll 8")
#define MONT32_ROLLED _Pragma("GCC unroll 1")
#define mont32_pow2f(x) std::ldexp(1.0f, (x))
#define mont32_ilogbf(x) std::ilogb(x)
#define MONT32_CHAINS
#include "gpu/carry32.h"
#define MONT32_N 3
#include "gpu/mont32.h"
#undef MONT32_N
#define MONT32_N 4
#include "gpu/mont32.h"
#undef MONT32_N
#undef MONT32_CHAINS
#undef MONT32_FN
#undef MONT32_UNROLL
#undef MONT32_ROLLED
#undef mont32_pow2f
#undef mont32_ilogbf
}  // namespace mont32_chain_host

namespace {

// A host build of mont32.h: its width and whether it is the carry-chain
// variant.
struct Mont32Build {
  unsigned limbs;
  bool chains;
};

// 2^p mod d by a host build, the exponent split with its lead below cap.
u128 mont32_powm2(Mont32Build build, std::uint64_t p, u128 d, std::uint64_t cap) {
  const ExponentSplit e = split_exponent(p, cap);
  std::uint32_t dl[4], r[4] = {0, 0, 0, 0};
  for (unsigned j = 0; j < 4; ++j) dl[j] = static_cast<std::uint32_t>(d >> (32 * j));
  const auto lead = static_cast<unsigned>(e.lead);
  const unsigned limbs = build.limbs;
  if (build.chains) {
    (limbs == 3 ? mont32_chain_host::mont3_powm2 : mont32_chain_host::mont4_powm2)(r, dl, p, lead,
                                                                                  e.rest);
  } else {
    (limbs == 3 ? mont32_host::mont3_powm2 : mont32_host::mont4_powm2)(r, dl, p, lead, e.rest);
  }
  u128 out = 0;
  for (unsigned j = limbs; j-- > 0;) out = (out << 32) | r[j];
  return out;
}

void PrintTo(const Mont32Build& build, std::ostream* os) {
  *os << build.limbs << " limbs" << (build.chains ? ", carry chains" : "");
}

unsigned mont32_bound(unsigned limbs) { return 32 * limbs - 4; }

// The candidates around every limb boundary and size limit below the
// width's bound, and the bound itself, with every small odd d.
std::vector<u128> mont32_limits(unsigned top) {
  std::vector<u128> d;
  for (u128 x = 3; x < 400; x += 2) d.push_back(x);
  for (unsigned b : {31u, 32u, 33u, 63u, 64u, 65u, 91u, 92u, 95u, 96u, 97u, 123u, 124u}) {
    if (b > top) continue;
    const u128 edge = u128(1) << b;
    for (unsigned j = 1; j < 12; j += 2) {
      d.push_back(edge - j);
      if (b < top) d.push_back(edge + j);
    }
  }
  for (unsigned j = 1; j < 40; j += 2) d.push_back((u128(1) << (top - 1)) + j);
  return d;
}

class Mont32Host : public ::testing::TestWithParam<Mont32Build> {};

// Every bit length up to the bound, exponents of 1 to 64 bits, leads up to
// 2^12 (a start of up to 4096 + 128 bits, so every number of its steps).
TEST_P(Mont32Host, MatchesGmpOnRandomCandidatesOfEveryLength) {
  const unsigned limbs = GetParam().limbs;
  std::mt19937_64 rng(kSeed + limbs + (GetParam().chains ? 100 : 0));
  const std::vector<std::uint64_t> edges = edge_exponents();
  int bad = 0;
  std::size_t tried = 0;
  for (unsigned bits = 2; bits <= mont32_bound(limbs); ++bits) {
    for (int i = 0; i < 4000 && bad < 5; ++i, ++tried) {
      const std::uint64_t p = i % 4 == 0 ? edges[static_cast<std::size_t>(i / 4) % edges.size()]
                                         : random_exponent(rng, 1 + static_cast<unsigned>(rng() % 64));
      const u128 d = random_odd(rng, bits);
      if (d < 3) continue;
      const std::uint64_t cap = std::uint64_t(1) << (rng() % 13);
      const u128 got = mont32_powm2(GetParam(), p, d, cap), want = reference().powm2(p, d);
      if (got != want) {
        ++bad;
        ADD_FAILURE() << limbs << " limbs: p=" << p << " d=" << str(d) << " cap " << cap
                      << ": " << str(got) << ", want " << str(want);
      }
    }
  }
  EXPECT_EQ(bad, 0);
  EXPECT_GE(tried, 300000u);
}

TEST_P(Mont32Host, MatchesGmpAtTheLimits) {
  const unsigned limbs = GetParam().limbs;
  std::vector<std::uint64_t> ps = edge_exponents();
  for (std::uint64_t p = 1; p <= 130; ++p) ps.push_back(p);
  int bad = 0;
  for (const u128 d : mont32_limits(mont32_bound(limbs))) {
    for (const std::uint64_t p : ps) {
      for (const std::uint64_t cap : {1ull, 64ull, 4096ull}) {
        const u128 got = mont32_powm2(GetParam(), p, d, cap), want = reference().powm2(p, d);
        if (got != want && ++bad <= 5) {
          ADD_FAILURE() << limbs << " limbs: p=" << p << " d=" << str(d) << " cap " << cap;
        }
      }
    }
  }
  EXPECT_EQ(bad, 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, Mont32Host,
                         ::testing::Values(Mont32Build{3, false}, Mont32Build{4, false},
                                           Mont32Build{3, true}, Mont32Build{4, true}),
                         [](const ::testing::TestParamInfo<Mont32Build>& info) {
                           return std::to_string(info.param.limbs) + "_limbs" +
                                  (info.param.chains ? "_carry_chains" : "");
                         });

// The variant's inline PTX, assembled: mont32.h with its carry chains
// compiled as CUDA by nvcc (a kernel around each width's powm2) and the PTX
// handed to ptxas, for the oldest and the newest architecture the toolkit
// offers. Only where the CUDA toolkit is installed (ptxas and nvcc on the
// PATH, in $CUDA_HOME/bin or in /usr/local/cuda/bin); elsewhere skipped,
// saying so: the tests' packages do not bring it.
std::string cuda_tool(const std::string& name) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::string all = path;
    for (std::size_t from = 0; from <= all.size();) {
      const std::size_t end = std::min(all.find(':', from), all.size());
      dirs.push_back(all.substr(from, end - from));
      from = end + 1;
    }
  }
  if (const char* home = std::getenv("CUDA_HOME")) dirs.push_back(std::string(home) + "/bin");
  dirs.push_back("/usr/local/cuda/bin");
  for (const std::string& dir : dirs) {
    const std::string tool = (dir.empty() ? "." : dir) + "/" + name;
    if (access(tool.c_str(), X_OK) == 0) return tool;
  }
  return "";
}

TEST(Mont32Ptx, PtxasAssemblesTheCarryChains) {
  const std::string ptxas = cuda_tool("ptxas"), nvcc = cuda_tool("nvcc");
  if (ptxas.empty() || nvcc.empty()) {
    GTEST_SKIP() << "no CUDA toolkit (ptxas, nvcc) installed: the PTX variant is not assembled";
  }
  TempDir dir;
  std::ofstream(dir.path() / "powm2.cu") << R"(
typedef unsigned int mont32_u32;
typedef unsigned long long mont32_u64;
#define MONT32_FN static __device__ inline
#define MONT32_UNROLL _Pragma("unroll")
#define MONT32_ROLLED _Pragma("unroll 1")
#define mont32_pow2f(x) __int_as_float(((x) + 127) << 23)
#define mont32_ilogbf(x) ((int)(__float_as_uint(x) >> 23) - 127)
#define MONT32_CHAINS
#define MONT32_PTX
#include "gpu/carry32.h"
#define MONT32_N 3
#include "gpu/mont32.h"
#undef MONT32_N
#define MONT32_N 4
#include "gpu/mont32.h"
#undef MONT32_N
extern "C" __global__ void powm2(const mont32_u32 *d, mont32_u64 p, unsigned lead,
                                 unsigned rest, mont32_u32 *out) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  mont3_powm2(out + 7 * i, d + 7 * i, p, lead, rest);
  mont4_powm2(out + 7 * i + 3, d + 7 * i + 3, p, lead, rest);
}
)";
  const RunResult listed = run_program(nvcc, {"--list-gpu-code"}, "", dir.path());
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  std::vector<std::string> archs;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("sm_", 0) == 0) archs.push_back(line);
  }
  ASSERT_FALSE(archs.empty()) << listed.out;
  for (const std::string& arch : {archs.front(), archs.back()}) {
    const std::string virt = "compute_" + arch.substr(3);
    const RunResult ptx = run_program(nvcc, {"-ptx", "-arch=" + virt, "-I" TAMRISK_SOURCE_DIR "/src",
                                             "powm2.cu", "-o", "powm2.ptx"},
                                      "", dir.path());
    ASSERT_EQ(ptx.exit_status, 0) << arch << ": " << ptx.err;
    const std::string text = slurp(dir.path() / "powm2.ptx");
    for (const char* op : {"madc.hi.cc.u32", "mad.lo.cc.u32", "addc.u32"}) {
      EXPECT_NE(text.find(op), std::string::npos) << arch << ": no " << op << " in the PTX";
    }
    const RunResult cubin =
        run_program(ptxas, {"-arch=" + arch, "powm2.ptx", "-o", "powm2.cubin"}, "", dir.path());
    EXPECT_EQ(cubin.exit_status, 0) << arch << ": " << cubin.err;
  }
}

// The residue kernels against GMP: random candidates of every size (the
// three-limb kernel takes a batch whose largest is below 2^92, the four-limb
// one the rest), exponents of 1 to 64 bits, and the limits.
TEST(OpenClKernel, ResiduesMatchGmp) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  std::mt19937_64 rng(kSeed);
  const std::vector<std::uint64_t> edges = edge_exponents();
  int bad = 0;
  for (const unsigned top : {mont32_bound(3), mont32_bound(4)}) {
    std::vector<std::vector<u128>> batches;
    for (int b = 0; b < 24; ++b) {
      std::vector<u128> d(4000);
      for (u128& x : d) x = random_odd(rng, 2 + static_cast<unsigned>(rng() % (top - 1)));
      std::erase_if(d, [](u128 x) { return x < 3; });
      batches.push_back(d);
    }
    batches.push_back(mont32_limits(top));
    for (std::size_t b = 0; b < batches.size() && bad == 0; ++b) {
      const std::vector<u128>& d = batches[b];
      for (const std::uint64_t p : {edges[b % edges.size()],
                                    random_exponent(rng, 1 + static_cast<unsigned>(b * 64 / batches.size())),
                                    random_exponent(rng, 64)}) {
        std::vector<u128> residue(d.size(), 0);
        ASSERT_TRUE(OpenClBatches(*device).powm2(p, d.data(), d.size(), residue.data()))
            << device->failure();
        for (std::size_t i = 0; i < d.size(); ++i) {
          const u128 want = reference().powm2(p, d[i]);
          if (residue[i] != want && ++bad <= 5) {
            ADD_FAILURE() << "p=" << p << " d=" << str(d[i]) << ": " << str(residue[i])
                          << ", want " << str(want);
          }
        }
      }
    }
  }
  EXPECT_EQ(bad, 0);
}

// A search batch: candidates base + 2p * offset.
struct SearchBatch {
  std::uint64_t p;
  u128 base;
  std::vector<std::uint32_t> offsets;
};

// The offsets whose candidate divides, as the device returns them (sorted).
std::vector<std::uint32_t> device_hits(OpenClDevice& device, const SearchBatch& batch) {
  std::vector<std::uint32_t> hits;
  EXPECT_EQ(OpenClBatches(device).search(batch.p, batch.base, 2 * u128(batch.p),
                                         batch.offsets.data(), batch.offsets.size(), hits),
            DeviceCollected::Done)
      << device.failure();
  std::sort(hits.begin(), hits.end());
  return hits;
}

// The planted factors f = 2kp + 1 below the search kernel's bound, each
// with a base f - 2p * offset (offset min(k - 1, 4n)) and n non-divisors of
// the same form around it.
struct PlantedSearch {
  std::uint64_t p;
  u128 factor, base;
  std::uint32_t offset;                // of the factor
  std::vector<std::uint32_t> around;   // of non-divisors near it
};

std::vector<PlantedSearch> planted_searches(std::size_t n) {
  std::vector<PlantedSearch> out;
  for (const Planted& pl : planted()) {
    const u128 step = 2 * u128(pl.p);
    for (const u128 f : pl.factors) {
      if ((f - 1) % step != 0 || bit_length(f + step * 8 * n) > 124) continue;
      const u128 k = (f - 1) / step;
      const auto offset = static_cast<std::uint32_t>(std::min<u128>(k - 1, 4 * n));
      PlantedSearch s{pl.p, f, f - step * offset, offset, {}};
      for (std::uint32_t j = 1; s.around.size() < n; ++j) {
        for (const std::int64_t o : {std::int64_t(offset) - j, std::int64_t(offset) + j}) {
          if (o < 0 || s.around.size() == n) continue;
          const u128 d = s.base + step * static_cast<u128>(o);
          if (reference().powm2(pl.p, d) != 1) s.around.push_back(static_cast<std::uint32_t>(o));
        }
      }
      out.push_back(s);
    }
  }
  return out;
}

// Each planted factor flagged where it stands and nowhere else: at every
// position of two work-groups and a part of a third for one factor of each
// width, at the first, a middle and the last position for every other, and
// all of a p's factors at once.
TEST(OpenClKernel, SearchFindsPlantedDivisorsAtEveryPosition) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const std::size_t n = 2 * 256 + 37;
  const std::vector<PlantedSearch> planted = planted_searches(n);
  std::size_t widths_covered = 0, tried = 0;
  for (std::size_t i = 0; i < planted.size(); ++i) {
    const PlantedSearch& s = planted[i];
    const u128 f = s.factor;
    const bool wide = bit_length(f + 2 * u128(s.p) * n) > 92;
    const bool every = (widths_covered & (wide ? 2 : 1)) == 0;
    if (every) widths_covered |= wide ? 2 : 1;
    std::vector<std::size_t> positions = {0, n / 2, n - 1};
    if (every) {
      positions.clear();
      for (std::size_t j = 0; j < n; ++j) positions.push_back(j);
    }
    for (const std::size_t j : positions) {
      SearchBatch batch{s.p, s.base, s.around};
      batch.offsets[j] = s.offset;
      ASSERT_EQ(device_hits(*device, batch), std::vector<std::uint32_t>{s.offset})
          << "p=" << s.p << " factor " << str(f) << " at position " << j;
      ++tried;
    }
  }
  EXPECT_EQ(widths_covered, 3u) << "no planted factor for one of the widths";
  EXPECT_GE(tried, 2 * n);
  // All of a p's factors of 2p-steps from the first's base, in one batch.
  std::map<std::uint64_t, SearchBatch> by_p;
  std::map<std::uint64_t, std::vector<std::uint32_t>> want;
  for (const PlantedSearch& s : planted) {
    SearchBatch& batch = by_p.try_emplace(s.p, SearchBatch{s.p, s.base, s.around}).first->second;
    const u128 away = (s.factor - batch.base) / (2 * u128(s.p));
    if (s.factor < batch.base || away > 0xffffffffu) continue;
    batch.offsets[(want[s.p].size() * 97) % n] = static_cast<std::uint32_t>(away);
    want[s.p].push_back(static_cast<std::uint32_t>(away));
  }
  for (auto& [p, batch] : by_p) {
    std::vector<std::uint32_t> expect = want[p];
    std::sort(expect.begin(), expect.end());
    expect.erase(std::unique(expect.begin(), expect.end()), expect.end());
    std::vector<std::uint32_t> got = device_hits(*device, batch);
    got.erase(std::unique(got.begin(), got.end()), got.end());
    EXPECT_EQ(got, expect) << "p=" << p;
  }
}

// Batch sizes around the work-group size, the factor last; an empty batch;
// and a batch with more divisors than the device returns.
TEST(OpenClKernel, SearchBatchSizesAndTheOverflow) {
  OpenClDevice* device = nullptr;
  TAMRISK_NEED_OPENCL(device);
  const std::vector<PlantedSearch> planted = planted_searches(1100);
  ASSERT_FALSE(planted.empty());
  const PlantedSearch& s = planted.back();
  for (const std::size_t n : {1u, 2u, 255u, 256u, 257u, 511u, 512u, 513u, 1000u}) {
    SearchBatch batch{s.p, s.base,
                      std::vector<std::uint32_t>(s.around.begin(), s.around.begin() + n)};
    batch.offsets[n - 1] = s.offset;
    EXPECT_EQ(device_hits(*device, batch), std::vector<std::uint32_t>{s.offset}) << "n=" << n;
  }
  std::vector<std::uint32_t> hits{7};
  const u128 step = 2 * u128(s.p);
  OpenClBatches batches(*device);
  EXPECT_EQ(batches.search(s.p, s.base, step, nullptr, 0, hits), DeviceCollected::Done);
  EXPECT_TRUE(hits.empty());
  for (const std::size_t copies : {std::size_t{kFoundCapacity},
                                   std::size_t{kFoundCapacity} + 1}) {
    const std::vector<std::uint32_t> same(copies, s.offset);
    EXPECT_EQ(batches.search(s.p, s.base, step, same.data(), same.size(), hits),
              copies > kFoundCapacity ? DeviceCollected::Overflow
                                                    : DeviceCollected::Done)
        << copies;
    if (copies <= kFoundCapacity) {
      EXPECT_EQ(hits, same);
    }
  }
}

}  // namespace
