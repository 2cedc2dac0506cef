// SPDX-License-Identifier: MIT
#include "gpu/segment_job.h"

#include <algorithm>

namespace {

// Offsets of a segment held in plain regions at most: the head before the
// first period and the tail after the last hold 61 each.
constexpr std::size_t kPlainOffsets = 2 * 61;

// A region of the layout: offsets base + stride * t for t < bits.
void add_region(std::vector<cl_int>& table, std::int64_t base, std::int64_t stride,
                std::int64_t bits, std::int64_t& word, std::int32_t n) {
  if (bits <= 0) return;
  const std::int64_t limit =
      std::clamp<std::int64_t>(stride == 1 ? std::int64_t{n} - base : bits, 0, bits);
  const std::int64_t n_at = stride == 1 && base <= n && n < base + bits ? n - base : -1;
  const cl_int row[kRegionInts] = {static_cast<cl_int>(base),
                                   static_cast<cl_int>(stride),
                                   static_cast<cl_int>(bits),
                                   static_cast<cl_int>(word),
                                   static_cast<cl_int>(limit),
                                   static_cast<cl_int>(n_at),
                                   0,
                                   0};
  table.insert(table.end(), row, row + kRegionInts);
  word += (bits + 31) / 32;
}

}  // namespace

DeviceSegmentJob segment_job(const FastSieveContext& ctx, const SegmentCandidates& segment,
                             const std::vector<Chunk>& chunks) {
  DeviceSegmentJob job;
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

std::int64_t region_table(const DeviceSegmentJob& job, std::vector<cl_int>& table) {
  table.clear();
  std::int64_t word = 0;
  const FastLayout& l = job.layout;
  add_region(table, 0, 1, l.head_end, word, job.n);
  if (l.periods == 0) return word;
  for (const std::int32_t offset : l.lane_offset) {
    add_region(table, l.anchor + offset, 60, l.periods, word, job.n);
  }
  add_region(table, l.tail_start, 1, l.tail_end - l.tail_start, word, job.n);
  return word;
}

void block_table(const std::vector<cl_int>& regions, std::uint32_t block_bits,
                 std::vector<cl_int>& table) {
  table.clear();
  for (std::size_t r = 0; r * kRegionInts < regions.size(); ++r) {
    const cl_int bits = regions[r * kRegionInts + 2];
    for (cl_int t = 0; t < bits; t += static_cast<cl_int>(block_bits)) {
      table.push_back(static_cast<cl_int>(r));
      table.push_back(t);
    }
  }
}

std::size_t window_bound(const DeviceSegmentJob& job, std::size_t width) {
  // A lane's share of each period (and one more) in every lane, and the
  // plain regions.
  if (job.layout.periods == 0) return width;
  return kLaneCount * (width / 60 + 1) + kPlainOffsets;
}

std::int64_t window_for(std::size_t capacity) {
  // The inverse of window_bound: kLaneCount * (width / 60 + 1) +
  // kPlainOffsets <= capacity.
  const std::int64_t room = static_cast<std::int64_t>(capacity - kPlainOffsets - kLaneCount);
  return std::max<std::int64_t>(1, room * 60 / kLaneCount);
}
