// SPDX-License-Identifier: MIT
#include "search/segment_loop.h"

#include <cassert>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "records/status.h"
#include "search/fast_walk.h"
#include "sieve/sieve_segment.h"
#include "search/opencl_walk.h"
#include "search/reference_walk.h"
#include "search/reports.h"
#include "core/thread_team.h"
#include "sieve/candidate_mask.h"
#include "sieve/fast_mask.h"
#include "sieve/small_primes.h"

namespace {

// Working storage of the loop, alive for the whole run; only the chosen
// path's part is used.
struct SegmentBuffers {
  SearchPath path;
  // reference path
  CandidateWindow window;
  BigInt mask;
  BigInt first;  // candidate of the segment's offset 0
  // fast path: the team that sieves and tests, made once for the run, and
  // each member's scratch for its share of the sieve
  FastSieveContext context;
  FastMask fast;
  ThreadTeam team;
  std::vector<std::vector<std::int64_t>> next;
  // the device's pipeline: the next segment's mask, sieved while the device
  // tests the last chunk of the one in `fast`
  FastMask look_ahead;

  SegmentBuffers(SearchPath p, int threads)
      : path(p),
        team(p == SearchPath::Fast ? threads : 1),
        next(static_cast<std::size_t>(threads)) {}
};

// The checkpoint after a segment of n values of k: the next segment starts
// right behind this one.
void end_segment(RunState& state, std::int32_t n) {
  mpz_add_ui(state.k_first, state.k_first, static_cast<unsigned long>(n));
  if (!writestatus(state.exponent, state.k_first, state.d_low, state.d_high, state.start_bits,
                   state.end_bits)) {
    state.record_failed = true;
  }
  mpz_add_ui(state.segment_index, state.segment_index, 1);
}

void run_one_segment(RunState& state, const SmallPrimeTable& table, SegmentBuffers& buf) {
  const std::clock_t start = std::clock();
  print_segment_start();

  const std::int32_t n = state.segment_size;
  if (buf.path == SearchPath::Fast) {
    // The count printed is the plan's marks'; the deeper ones only skip tests.
    const std::int64_t marked =
        sieve_segment(buf.fast, buf.context, state.k_first, n, buf.team);
    print_sieve_report(clock_seconds(start, std::clock()), marked, n);
    test_segment_fast(state, buf.fast, &buf.team);
  } else {
    mpz_mul(buf.first, state.k_first, state.two_p);
    mpz_add_ui(buf.first, buf.first, 1);
    build_candidate_mask(buf.window, buf.mask, buf.first, state.two_p, n);
    const std::int64_t marked =
        sieve_small_primes(table, state.sieve_prime_count, buf.window, buf.mask, n);
    print_sieve_report(clock_seconds(start, std::clock()), marked, n);
    test_segment(state, buf.mask);
  }
  end_segment(state, n);
}

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

// One sieved segment of the device's pipeline, with what its chunks need.
struct SievedSegment {
  FastMask* mask = nullptr;
  std::int32_t n = 0;
  float seconds = 0;
  std::int64_t marked = 0;
  std::unique_ptr<SegmentCandidates> candidates;
  std::unique_ptr<CpuChunkTests> cpu;
  std::vector<std::pair<std::int32_t, std::int32_t>> chunks;  // [from, to)
};

void sieve_ahead(SievedSegment& seg, const RunState& state, mpz_srcptr k_first, std::int32_t n,
                 SegmentBuffers& buf) {
  const std::clock_t start = std::clock();
  seg.n = n;
  seg.marked = sieve_segment(*seg.mask, buf.context, k_first, n, buf.team);
  seg.seconds = clock_seconds(start, std::clock());
  seg.candidates = std::make_unique<SegmentCandidates>(state.exponent, state.two_p, k_first, n);
  seg.cpu = std::make_unique<CpuChunkTests>(*seg.candidates, buf.team.size());
  seg.chunks = segment_chunks(n);
}

// The fast path with the tests on an OpenCL device: the same segments, lines
// and checkpoints as run_one_segment's, but pipelined. While the device
// tests a chunk, the team gathers the next; while it tests a segment's last
// chunk, the team sieves the next segment and gathers its first chunk. The
// next segment's lines still follow the last progress line and the
// checkpoint of the one before.
void run_segments_on_device(RunState& state, SegmentBuffers& buf, std::int32_t segment_length,
                            const SegmentObserver& after_segment, const DeviceRequest& request) {
  OpenClWalk walk(request, buf.team);
  SievedSegment work[2];
  work[0].mask = &buf.fast;
  work[1].mask = &buf.look_ahead;
  SievedSegment* cur = &work[0];
  SievedSegment* ahead = &work[1];
  const auto submit = [&](SievedSegment& seg, std::size_t c) {
    walk.submit(*seg.mask, *seg.candidates, *seg.cpu, seg.chunks[c].first, seg.chunks[c].second);
  };

  bool final_pass = false;
  if (!begin_segment(state, final_pass)) return;
  print_segment_start();
  sieve_ahead(*cur, state, state.k_first, state.segment_size, buf);
  print_sieve_report(cur->seconds, cur->marked, cur->n);
  if (!cur->chunks.empty()) submit(*cur, 0);
  for (;;) {
    // The next segment, sieved while the device has this one's last chunk.
    bool have_ahead = false;
    const auto look_ahead = [&] {
      const std::optional<std::int32_t> n = following_segment(state, final_pass, segment_length);
      if (!n) return;
      BigInt k_next;
      mpz_add_ui(k_next, state.k_first, static_cast<unsigned long>(cur->n));
      sieve_ahead(*ahead, state, k_next, *n, buf);
      if (!ahead->chunks.empty()) submit(*ahead, 0);
      have_ahead = true;
    };
    for (std::size_t c = 0; c < cur->chunks.size(); ++c) {
      if (c + 1 < cur->chunks.size()) {
        submit(*cur, c + 1);
      } else {
        look_ahead();
      }
      report_chunk(state, *cur->mask, c, cur->chunks[c].first, cur->chunks[c].second, walk.take());
    }
    if (cur->chunks.empty()) look_ahead();
    end_segment(state, cur->n);
    if (after_segment) after_segment(state);
    if (!have_ahead || !begin_segment(state, final_pass)) break;
    assert(state.segment_size == ahead->n);
    print_segment_start();
    print_sieve_report(ahead->seconds, ahead->marked, ahead->n);
    std::swap(cur, ahead);
  }
  walk.finish();
}

// What a segment gives its lines: the plan's count, each chunk's last
// clear offset and the divisors (increasing), with the sieve's seconds.
struct SegmentOutcome {
  float seconds = 0;
  std::int64_t marked = 0;
  std::vector<std::int64_t> last;
  std::vector<std::int64_t> hits;
};

// The segment done on the CPU as run_one_segment does it, its lines written
// as it goes; what they showed is kept, for a comparison with the device.
SegmentOutcome segment_on_cpu(RunState& state, const SievedSegment& seg, SegmentBuffers& buf) {
  SegmentOutcome out;
  const std::clock_t start = std::clock();
  print_segment_start();
  out.marked = sieve_segment(buf.fast, buf.context, state.k_first, seg.n, buf.team);
  out.seconds = clock_seconds(start, std::clock());
  print_sieve_report(out.seconds, out.marked, seg.n);
  CpuChunkTests& tests = *seg.cpu;  // made with the segment, for the team
  for (std::size_t c = 0; c < seg.chunks.size(); ++c) {
    const auto [from, to] = seg.chunks[c];
    out.last.push_back(c < buf.fast.plan_last.size() ? buf.fast.plan_last[c]
                                                     : fast_last_clear(buf.fast, from, to));
    const std::vector<std::int64_t> hits = tests.run(buf.fast, from, to, buf.team);
    report_chunk_lines(state, out.last.back(), hits);
    out.hits.insert(out.hits.end(), hits.begin(), hits.end());
  }
  return out;
}

// A segment's lines, from its outcome, as run_one_segment writes them.
void report_segment(RunState& state, const SievedSegment& seg, const SegmentOutcome& out) {
  print_segment_start();
  print_sieve_report(out.seconds, out.marked, seg.n);
  std::vector<std::int64_t> hits;
  std::size_t h = 0;
  for (std::size_t c = 0; c < seg.chunks.size(); ++c) {
    hits.clear();
    for (; h < out.hits.size() && out.hits[h] < seg.chunks[c].second; ++h) {
      hits.push_back(out.hits[h]);
    }
    report_chunk_lines(state, out.last[c], hits);
  }
}

// The candidates and chunks of a segment (no sieve: the device's).
void plan_segment(SievedSegment& seg, const RunState& state, mpz_srcptr k_first, std::int32_t n,
                  int members) {
  seg.n = n;
  seg.candidates = std::make_unique<SegmentCandidates>(state.exponent, state.two_p, k_first, n);
  seg.cpu = std::make_unique<CpuChunkTests>(*seg.candidates, members);
  seg.chunks = segment_chunks(n);
}

// Whole segments on the device: each is queued there before the one
// before it is reported, so the device sieves and tests one while the host
// writes the other's lines and checkpoint. A segment the device does not
// take, or whose results are lost, is done on the CPU (segment_on_cpu), as
// every one after a failure. A device chosen by default does its first
// segment beside the CPU, which must agree with it and be slower.
void run_segments_sieved_on_device(RunState& state, const SmallPrimeTable& table,
                                   SegmentBuffers& buf, std::int32_t segment_length,
                                   const SegmentObserver& after_segment,
                                   const DeviceRequest& request) {
  FastSieveContext device_primes;
  prepare_fast_sieve(device_primes, table, state.sieve_prime_count, state.exponent,
                     kDeviceDeepSieveBound);
  OpenClSegmentWalk walk(request, device_primes);
  SievedSegment work[2];
  SievedSegment* cur = &work[0];
  SievedSegment* ahead = &work[1];
  const int members = buf.team.size();
  bool final_pass = false;
  if (!begin_segment(state, final_pass)) return;
  std::clock_t queued = std::clock();
  plan_segment(*cur, state, state.k_first, state.segment_size, members);
  walk.submit(*cur->candidates, cur->chunks);
  for (;;) {
    bool have_ahead = false;
    std::clock_t queued_ahead = queued;
    if (const std::optional<std::int32_t> n =
            following_segment(state, final_pass, segment_length)) {
      BigInt k_next;
      mpz_add_ui(k_next, state.k_first, static_cast<unsigned long>(cur->n));
      queued_ahead = std::clock();
      plan_segment(*ahead, state, k_next, *n, members);
      walk.submit(*ahead->candidates, ahead->chunks);
      have_ahead = true;
    }
    const bool on_trial = walk.on_trial();
    std::optional<OpenClSegmentWalk::Taken> taken = walk.take();
    if (taken && !on_trial) {
      SegmentOutcome out;
      out.seconds = clock_seconds(queued, std::clock());
      out.marked = taken->marked;
      out.last = std::move(taken->last);
      out.hits = std::move(taken->hits);
      report_segment(state, *cur, out);
    } else {
      // The CPU's, with its lines as it goes; on trial, beside the device's.
      const auto start = std::chrono::steady_clock::now();
      const SegmentOutcome cpu = segment_on_cpu(state, *cur, buf);
      if (taken) {
        const double cpu_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool agree =
            cpu.marked == taken->marked && cpu.last == taken->last && cpu.hits == taken->hits;
        walk.trial(agree, walk.device()->take_busy_seconds(), cpu_seconds, state.k_first);
      }
    }
    end_segment(state, cur->n);
    if (after_segment) after_segment(state);
    if (!have_ahead || !begin_segment(state, final_pass)) break;
    assert(state.segment_size == ahead->n);
    std::swap(cur, ahead);
    queued = queued_ahead;
  }
}

}  // namespace

void run_segments(RunState& state, const SmallPrimeTable& table, std::int32_t segment_length,
                  const SegmentObserver& after_segment, SearchPath path, int threads,
                  const DeviceRequest& device, DeviceSieve sieve) {
  assert(segment_length > 0);
  assert(threads >= 1);
  assert(state.last_segment_size >= 0 && state.last_segment_size < segment_length);
  state.segment_size = segment_length;
  // 128 MB for the reference mask, a few MB for the fast one: kept off the stack.
  const auto storage = std::make_unique<SegmentBuffers>(path, threads);
  SegmentBuffers& buf = *storage;
  if (path == SearchPath::Fast) {
    prepare_fast_sieve(buf.context, table, state.sieve_prime_count, state.exponent,
                       kDeepSieveBound);
  }
  if (path == SearchPath::Fast && wants_opencl(device) && opencl_device_offered(device)) {
    if (sieve == DeviceSieve::OnDevice) {
      run_segments_sieved_on_device(state, table, buf, segment_length, after_segment, device);
    } else {
      run_segments_on_device(state, buf, segment_length, after_segment, device);
    }
    return;
  }
  bool final_pass = false;
  if (path == SearchPath::Reference || threads == 1) {
    while (begin_segment(state, final_pass)) {
      run_one_segment(state, table, buf);
      if (after_segment) after_segment(state);
    }
    return;
  }
  // Several threads: each checkpoint is written by a thread of its own while
  // the team sieves the next segment, whose lines wait for it; so a kill
  // loses what it always lost, and the team does not wait for the disk.
  BackgroundJob recorder;
  if (!begin_segment(state, final_pass)) return;
  std::clock_t start = std::clock();
  print_segment_start();
  std::int64_t marked =
      sieve_segment(buf.fast, buf.context, state.k_first, state.segment_size, buf.team);
  print_sieve_report(clock_seconds(start, std::clock()), marked, state.segment_size);
  for (;;) {
    test_segment_fast(state, buf.fast, &buf.team);
    const std::int32_t n = state.segment_size;
    mpz_add_ui(state.k_first, state.k_first, static_cast<unsigned long>(n));
    bool written = true;
    recorder.start([&written, p = BigInt(state.exponent), k = BigInt(state.k_first),
                    low = BigInt(state.d_low), high = BigInt(state.d_high),
                    from = state.start_bits, to = state.end_bits] {
      written = writestatus(p, k, low, high, from, to);
    });
    const std::optional<std::int32_t> next = following_segment(state, final_pass, segment_length);
    std::clock_t next_start = std::clock();
    if (next) {
      marked = sieve_segment(buf.fast, buf.context, state.k_first, *next, buf.team);
    }
    const float seconds = clock_seconds(next_start, std::clock());
    recorder.wait();
    if (!written) state.record_failed = true;
    mpz_add_ui(state.segment_index, state.segment_index, 1);
    if (after_segment) after_segment(state);
    if (!next || !begin_segment(state, final_pass)) break;
    assert(state.segment_size == *next);
    print_segment_start();
    print_sieve_report(seconds, marked, state.segment_size);
  }
}
