// SPDX-License-Identifier: MIT
#include "driver/plan.h"

#include <cassert>
#include <cmath>

namespace {

constexpr unsigned long kFractionScale = 100000000;  // depths resolve to 1e-8

// 2^i + floor(fraction * 2^i / 1e8): the divisor that depth i + fraction/1e8
// stands for.
void depth_to_divisor(mpz_ptr out, std::int32_t i, double fraction) {
  BigInt power;
  mpz_set_ui(power, 1);
  mpz_mul_2exp(power, power, static_cast<mp_bitcnt_t>(i));
  BigInt part;
  mpz_set_d(part, fraction);  // a whole number below 1e8, exact in a double
  mpz_mul(part, part, power);
  mpz_fdiv_q_ui(part, part, kFractionScale);
  mpz_add(out, power, part);
}

}  // namespace

void set_bounds(RunState& state) {
  assert(state.start_bits >= 2.0f);
  assert(state.end_bits >= 0.0f);
  // The float widened to double minus its integer part, times 1e8, is exact
  // in double precision: the fraction has at most 24 significant bits.
  const double s = state.start_bits;
  const auto i = static_cast<std::int32_t>(std::trunc(s));
  const double f = std::floor((s - i) * static_cast<double>(kFractionScale));
  BigInt lower;
  depth_to_divisor(lower, i, f);

  const double e = state.end_bits;
  const auto j = static_cast<std::int32_t>(std::trunc(e));
  const double g = std::ceil((e - j) * static_cast<double>(kFractionScale));
  depth_to_divisor(state.d_high, j, g);

  mpz_sub_ui(state.d_low, lower, 1);
  // The largest k whose candidate 2kp + 1 does not exceed d_low.
  mpz_sub_ui(state.k_first, state.d_low, 1);
  mpz_tdiv_q_ui(state.k_first, state.k_first, 2);
  mpz_tdiv_q(state.k_first, state.k_first, state.exponent);
}

void plan_segments(RunState& state, std::int32_t segment_length) {
  assert(mpz_sgn(state.exponent) > 0);
  assert(segment_length > 0);
  // The largest k whose candidate does not exceed d_high (floor divisions,
  // so a d_high below 1 gives a negative k).
  BigInt k_high;
  mpz_sub_ui(k_high, state.d_high, 1);
  mpz_fdiv_q_ui(k_high, k_high, 2);
  mpz_fdiv_q(k_high, k_high, state.exponent);

  BigInt k_range;
  mpz_sub(k_range, k_high, state.k_first);
  const auto length = static_cast<unsigned long>(segment_length);
  state.last_segment_size =
      static_cast<std::int32_t>(mpz_fdiv_q_ui(state.full_segments, k_range, length));

  // The range is counted from k_first as it was; only then does a k_first of
  // 0 (no candidate below d_low) move to the first real candidate, k = 1.
  if (mpz_sgn(state.k_first) == 0) mpz_set_ui(state.k_first, 1);
  mpz_mul(state.d, state.k_first, state.exponent);
  mpz_mul_2exp(state.d, state.d, 1);
  mpz_add_ui(state.d, state.d, 1);
}
