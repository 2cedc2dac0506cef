// SPDX-License-Identifier: MIT
#include "search/witness_log.h"

namespace {

// Rounds of the probable-prime test: a composite passes with a chance below
// 4^-25.
constexpr int kPrimeRounds = 25;

}  // namespace

std::size_t note_witnesses(WitnessRecord& record, const SegmentCandidates& segment,
                           const std::vector<Flag>& flags) {
  std::size_t added = 0;
  BigInt k, d;
  for (const Flag& flag : flags) {
    if (flag.zero_bits < record.bits) continue;
    candidate_at(k, d, segment.k_first, segment.two_p, flag.offset);
    if (mpz_probab_prime_p(d, kPrimeRounds) == 0) continue;
    record.ks.push_back(k);
    ++added;
  }
  return added;
}
