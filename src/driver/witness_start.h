// SPDX-License-Identifier: MIT
// The witness list a run starts from (records/witnesses.h): for a new run a
// fresh one over its k range; for a resumed run the list in witnesses.txt,
// its lines at or beyond the checkpoint's k dropped, when it belongs to this
// run and reaches the checkpoint; otherwise a fresh one from the
// checkpoint's k on (with one line on stderr when a list was there but
// could not serve). Either way S_p is that of the whole run's range, from
// its divisor bounds, so every run of the same range keeps the same list.
#pragma once

#include <cstdint>

#include "core/run_state.h"
#include "records/witnesses.h"

// After plan_segments: the state's k_first, full_segments and
// last_segment_size give the range the segments cover.
WitnessRecord new_run_witnesses(const RunState& state, std::int32_t segment_length);
WitnessRecord resumed_run_witnesses(const RunState& state, std::int32_t segment_length);
