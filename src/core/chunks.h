// SPDX-License-Identifier: MIT
// How a segment of N offsets is cut for its progress lines: into chunks of
// N / 20 offsets (1 when N < 20), the twentieths, each followed by one
// progress line. A chunk may reach offset N (always marked) but no test
// ever takes it. A segment of 0 offsets has no chunk.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

// Offsets per chunk for a segment of N offsets: N / 20, at least 1.
std::int32_t chunk_length(std::int32_t segment_size);

// One past the last offset of the chunk that starts at offset j: the chunk
// visits j, j + 1, ... while fewer than `chunk` are visited and the offset
// is at most N.
std::int32_t chunk_end(std::int32_t j, std::int32_t chunk, std::int32_t segment_size);

// A chunk: the offsets [from, to).
using Chunk = std::pair<std::int32_t, std::int32_t>;

// The chunks of a segment of N offsets, in order.
std::vector<Chunk> segment_chunks(std::int32_t segment_size);
