// SPDX-License-Identifier: MIT
#include "search/segment_loop.h"

#include <cassert>
#include <memory>
#include <optional>
#include <utility>

#include "core/thread_team.h"
#include "records/status.h"
#include "search/reports.h"
#include "search/witness_log.h"

namespace {

// Whether another segment follows: the full ones while segment_index is
// below full_segments, then the final one, once; the state's fields change
// as the plan's loop changes them (segment_size, full_segments + 1).
bool begin_segment(RunState& state, bool& final_pass) {
  if (mpz_cmp(state.segment_index, state.full_segments) < 0) return true;
  if (final_pass) return false;
  // One more segment beyond the full ones, under the same test; with a
  // negative full_segments the test still fails and none runs.
  state.segment_size = state.last_segment_size;
  mpz_add_ui(state.full_segments, state.full_segments, 1);
  final_pass = true;
  return mpz_cmp(state.segment_index, state.full_segments) < 0;
}

// The size of the segment after the current one, if any, as begin_segment
// will find it once the current one has ended.
std::optional<std::int32_t> following_segment(const RunState& state, bool final_pass,
                                              std::int32_t segment_length) {
  BigInt index;
  mpz_add_ui(index, state.segment_index, 1);
  if (mpz_cmp(index, state.full_segments) < 0) return segment_length;
  if (final_pass) return std::nullopt;
  // The final segment comes once the index reaches full_segments + 1.
  if (mpz_cmp(state.segment_index, state.full_segments) < 0) return state.last_segment_size;
  return std::nullopt;
}

}  // namespace

void run_segments(RunState& state, SegmentBackend& backend, std::int32_t segment_length,
                  const SegmentObserver& after_segment, WitnessRecord* witnesses) {
  assert(segment_length > 0);
  assert(state.last_segment_size >= 0 && state.last_segment_size < segment_length);
  state.segment_size = segment_length;
  bool final_pass = false;
  if (!begin_segment(state, final_pass)) return;
  // The records' thread, made only for a backend that works on the next
  // segment meanwhile: for one that would not, the records are written on
  // this thread.
  std::optional<BackgroundJob> recorder;
  if (backend.works_ahead()) recorder.emplace();
  auto current = std::make_unique<SegmentPlan>(state, state.k_first, state.segment_size);
  backend.submit(*current);
  for (;;) {
    // The next segment is queued before this one is taken, so that a
    // backend that works on its own (a device) has it at hand.
    std::unique_ptr<SegmentPlan> next;
    if (const std::optional<std::int32_t> n =
            following_segment(state, final_pass, segment_length)) {
      BigInt k_next;
      mpz_add_ui(k_next, state.k_first, static_cast<unsigned long>(state.segment_size));
      next = std::make_unique<SegmentPlan>(state, k_next, *n);
      backend.submit(*next);
    }

    print_segment_start();
    const SieveReport sieve = backend.take_sieve();
    print_sieve_report(sieve.seconds, sieve.marked, state.segment_size);
    std::size_t found = 0;
    for (std::size_t c = 0; c < current->chunks.size(); ++c) {
      const ChunkReport chunk = backend.take_chunk();
      report_chunk(state, chunk.last_clear, chunk.hits);
      if (witnesses != nullptr)
        found += note_witnesses(*witnesses, current->candidates, chunk.flags);
    }

    // The checkpoint: the next segment starts right behind this one. Its
    // writes and syncs run beside the backend's next sieve; the next
    // segment's lines wait for them. The witness list, when the segment
    // moved it on, is replaced first, so that it never lags behind.
    mpz_add_ui(state.k_first, state.k_first, static_cast<unsigned long>(state.segment_size));
    std::optional<WitnessRecord> list;
    if (witnesses != nullptr && (found > 0 || state.segment_size > 0)) {
      mpz_sub_ui(witnesses->through, state.k_first, 1);
      list = *witnesses;
    }
    bool written = true;
    auto records = [&written, list = std::move(list), p = BigInt(state.exponent),
                    k = BigInt(state.k_first), low = BigInt(state.d_low),
                    high = BigInt(state.d_high), from = state.start_bits, to = state.end_bits] {
      if (list && !write_witnesses(*list)) written = false;
      if (!writestatus(p, k, low, high, from, to)) written = false;
    };
    if (recorder) {
      recorder->start(std::move(records));
      backend.work_ahead();
      recorder->wait();
    } else {
      records();
      backend.work_ahead();
    }
    if (!written) state.record_failed = true;
    mpz_add_ui(state.segment_index, state.segment_index, 1);
    if (after_segment) after_segment(state);

    if (next == nullptr || !begin_segment(state, final_pass)) break;
    assert(state.segment_size == next->candidates.n);
    current = std::move(next);
  }
  backend.finish();
}
