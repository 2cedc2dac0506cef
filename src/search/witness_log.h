// SPDX-License-Identifier: MIT
// The witnesses of a run as its segments go (core/witness.h): the flagged
// candidates of each chunk, their residues already checked, sifted into the
// run's record (records/witnesses.h): those whose residue ends in the
// record's S_p zero bits and whose d is prime.
#pragma once

#include <vector>

#include "core/candidate.h"
#include "records/witnesses.h"
#include "search/backend.h"

// Adds the witnesses among the flags of a chunk of the segment, in
// increasing k; returns how many.
std::size_t note_witnesses(WitnessRecord& record, const SegmentCandidates& segment,
                           const std::vector<Flag>& flags);
