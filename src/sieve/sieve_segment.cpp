// SPDX-License-Identifier: MIT
#include "sieve/sieve_segment.h"

#include <vector>

#include "core/chunks.h"

std::int64_t sieve_segment(FastMask& mask, const FastSieveContext& ctx, mpz_srcptr k_first,
                           std::int32_t n, ThreadTeam& team) {
  const int parts = team.size();
  mask.scratch.resize(static_cast<std::size_t>(parts));
  std::vector<std::int64_t> counts(static_cast<std::size_t>(parts), 0);
  // The steps that need the whole segment are short; the first multiples,
  // the marks and their count are the members' shares.
  begin_fast_mask(mask, ctx, k_first, n);
  if (parts > 1) {
    team.run([&](int member) { fast_mask_roots_part(mask, ctx, k_first, member, parts); });
  } else {
    fast_mask_roots_part(mask, ctx, k_first, 0, 1);
  }
  finish_fast_mask_start(mask, ctx);
  team.run([&](int member) {
    const auto m = static_cast<std::size_t>(member);
    counts[m] = mark_fast_mask_part(mask, ctx, member, parts, mask.scratch[m]);
  });
  std::int64_t marked = fast_count_edges(mask);
  for (const std::int64_t c : counts) marked += c;
  if (!ctx.deep_primes.empty()) {
    for (const auto& [from, to] : segment_chunks(n)) {
      mask.plan_last.push_back(fast_last_clear(mask, from, to));
    }
    team.run([&](int member) {
      deepen_fast_mask_part(mask, ctx, member, parts,
                            mask.scratch[static_cast<std::size_t>(member)]);
    });
  }
  return marked;
}
