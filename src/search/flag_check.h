// SPDX-License-Identifier: MIT
// The check of the flags a device raised (core/witness.h): each flagged
// candidate's residue recomputed on the CPU by the fastest kernel for the
// segment's size, while the device works on.
#pragma once

#include <cstdint>
#include <vector>

#include "core/candidate.h"
#include "search/backend.h"

// The flagged offsets of the native segment (any order) whose residues end
// in at least `bits` zero bits, with those bits, in increasing order into
// checked; returns the first offset whose residue does not, or -1.
std::int64_t check_flags(const SegmentCandidates& segment, std::vector<std::uint32_t> flagged,
                         unsigned bits, std::vector<Flag>& checked);
