// SPDX-License-Identifier: MIT
// What the host hands the test kernels (kernels.cl, mont32.h): the limbs a
// candidate takes, its 32-bit limbs, and the exponent's split for the
// candidates' size.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/exponent_split.h"
#include "core/u128.h"
#include "gpu/device_tuning.h"

// The limbs a kernel works on for candidates of up to max_bits bits: three
// below 2^92, four below 2^124.
inline unsigned limbs_for(unsigned max_bits) { return max_bits <= 92 ? 3 : 4; }

// Limb j (32 bits) of x.
inline std::uint32_t limb(u128 x, unsigned j) { return static_cast<std::uint32_t>(x >> (32 * j)); }

// The exponent's split for the kernel: its leading bits up to a value lead
// are consumed by the start, which costs a step of at most 16 bits (about
// half a squaring) per 16 bits of lead + 32 limbs - (b - 1); each further
// bit costs a squaring. The cheapest over leads up to kMostLead.
inline ExponentSplit choose_split(std::uint64_t p, unsigned limbs, unsigned min_bits) {
  ExponentSplit best = split_exponent(p, 1);
  double best_cost = 1e300;
  for (std::uint64_t cap = 1; cap <= kMostLead; cap *= 2) {
    const ExponentSplit s = split_exponent(p, cap);
    const double start_bits = static_cast<double>(s.lead) + 32.0 * limbs - (min_bits - 1.0);
    const double cost = s.rest + 0.5 * std::ceil(start_bits / 16.0);
    if (cost < best_cost) {
      best_cost = cost;
      best = s;
    }
  }
  return best;
}
