// SPDX-License-Identifier: MIT
#include "core/chunks.h"

#include <algorithm>

namespace {

constexpr std::int32_t kChunksPerSegment = 20;

}  // namespace

std::int32_t chunk_length(std::int32_t segment_size) {
  // Below 20 offsets a twentieth is 0, which would never move the walk on:
  // such a segment gets one progress line per offset instead.
  return std::max<std::int32_t>(segment_size / kChunksPerSegment, 1);
}

std::int32_t chunk_end(std::int32_t j, std::int32_t chunk, std::int32_t segment_size) {
  const std::int64_t end = std::min(std::int64_t{j} + chunk, std::int64_t{segment_size} + 1);
  return static_cast<std::int32_t>(end);
}

std::vector<Chunk> segment_chunks(std::int32_t segment_size) {
  std::vector<Chunk> chunks;
  const std::int32_t chunk = chunk_length(segment_size);
  for (std::int32_t j = 0; j < segment_size; j = chunk_end(j, chunk, segment_size)) {
    chunks.emplace_back(j, chunk_end(j, chunk, segment_size));
  }
  return chunks;
}
