// SPDX-License-Identifier: MIT
// Whole segments on the device (opencl_device.h): the regions of the fast
// mask's layout sieved by the kernels of sieve.cl, counted, their twentieths'
// last clear offsets found, the survivors gathered and tested; only the
// count, those offsets and the divisors come back.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "gpu/opencl_device.h"
#include "gpu/opencl_state.h"

using namespace opencl_internal;

namespace {

constexpr std::uint32_t kBlockBits = OpenClDevice::kSieveBlockBits;
constexpr int kRegionInts = 8;            // REGION_INTS
constexpr std::size_t kSieveGroup = 256;  // the sieve kernels' work-group size
// Survivors a slot gathers at once at first (256 MiB of offsets); a segment
// with more is tested again in windows, and the room grows for the next.
constexpr std::size_t kFirstOffsets = std::size_t{1} << 26;
constexpr std::size_t kMostOffsets = std::size_t{1} << 28;

using State = OpenClDevice::State;
using SieveSlot = State::SieveSlot;
using Buffer = SieveSlot::Buffer;
using Job = OpenClDevice::SegmentJob;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

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

// The regions of a segment as fast_mask.h holds them (the head, the 16
// lanes and the tail; or one plain region), and the words they take.
std::int64_t region_table(const Job& job, std::vector<cl_int>& table) {
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

// (region, first t) of every block of every region.
void block_table(const std::vector<cl_int>& regions, std::vector<cl_int>& table) {
  table.clear();
  for (std::size_t r = 0; r * kRegionInts < regions.size(); ++r) {
    const cl_int bits = regions[r * kRegionInts + 2];
    for (cl_int t = 0; t < bits; t += static_cast<cl_int>(kBlockBits)) {
      table.push_back(static_cast<cl_int>(r));
      table.push_back(t);
    }
  }
}

// The most survivors a window of `width` offsets can hold.
std::size_t window_bound(const Job& job, std::size_t width) {
  if (job.layout.periods == 0) return width;
  return kLaneCount * (width / 60 + 1) + 122;
}

// A device buffer of at least `bytes`, made anew when the one there is smaller.
bool ensure(State& s, Buffer& b, std::size_t bytes) {
  bytes = std::max<std::size_t>(bytes, 8);
  if (b.mem != nullptr && b.bytes >= bytes) return true;
  if (b.mem != nullptr) s.cl->ReleaseMemObject(b.mem);
  cl_int rc = CL_SUCCESS;
  b.mem = s.cl->CreateBuffer(s.context, CL_MEM_READ_WRITE, bytes, nullptr, &rc);
  if (rc != CL_SUCCESS) {
    b = {};
    return s.fail("clCreateBuffer", rc);
  }
  b.bytes = bytes;
  return true;
}

// Sets a kernel's arguments in order.
class Args {
 public:
  Args(State& s, cl_kernel kernel) : s_(s), kernel_(kernel) {}
  template <typename T>
  Args& operator()(const T& value) {
    if (rc_ == CL_SUCCESS) rc_ = s_.cl->SetKernelArg(kernel_, index_++, sizeof value, &value);
    return *this;
  }
  bool ok() { return rc_ == CL_SUCCESS || s_.fail("clSetKernelArg", rc_); }

 private:
  State& s_;
  cl_kernel kernel_;
  cl_uint index_ = 0;
  cl_int rc_ = CL_SUCCESS;
};

bool run(State& s, cl_kernel kernel, std::size_t global, std::size_t local,
         std::vector<cl_event>& events) {
  if (global == 0) return true;
  cl_event e = nullptr;
  const cl_int rc =
      s.cl->EnqueueNDRangeKernel(s.queue, kernel, 1, nullptr, &global, &local, 0, nullptr, &e);
  if (rc != CL_SUCCESS) return s.fail("clEnqueueNDRangeKernel", rc);
  events.push_back(e);
  return true;
}

template <typename T>
bool write(State& s, const Buffer& b, const std::vector<T>& host, std::size_t at,
           std::vector<cl_event>& events) {
  if (host.empty()) return true;
  cl_event e = nullptr;
  const cl_int rc = s.cl->EnqueueWriteBuffer(s.queue, b.mem, CL_FALSE, at * sizeof(T),
                                             host.size() * sizeof(T), host.data(), 0, nullptr, &e);
  if (rc != CL_SUCCESS) return s.fail("clEnqueueWriteBuffer", rc);
  events.push_back(e);
  return true;
}

template <typename T>
bool read(State& s, const Buffer& b, std::vector<T>& host, std::vector<cl_event>& events) {
  if (host.empty()) return true;
  cl_event e = nullptr;
  const cl_int rc = s.cl->EnqueueReadBuffer(s.queue, b.mem, CL_FALSE, 0, host.size() * sizeof(T),
                                            host.data(), 0, nullptr, &e);
  if (rc != CL_SUCCESS) return s.fail("clEnqueueReadBuffer", rc);
  events.push_back(e);
  return true;
}

void release(State& s, std::vector<cl_event>& events) {
  for (cl_event e : events) s.cl->ReleaseEvent(e);
  events.clear();
}

// Queues the sieve of the slot's segment: its plan's marks, counted, each
// twentieth's last clear offset, then (when deeper) the deeper marks.
bool queue_sieve(State& s, SieveSlot& slot, const Job& job, bool deeper) {
  if (s.local_memory < kBlockBits / 8 + 2048) {
    return s.fail_because("its local memory (" + std::to_string(s.local_memory / 1024) +
                          " KiB) is below the sieve's 34 KiB");
  }
  slot.job = job;
  const std::int64_t words = region_table(job, slot.region_table);
  block_table(slot.region_table, slot.block_table);
  slot.region_count = slot.region_table.size() / kRegionInts;
  slot.block_count = slot.block_table.size() / 2;
  slot.pattern_marks = (60 - kLaneCount) * job.layout.periods;
  slot.chunk_table.clear();
  for (const auto& [from, to] : job.chunks) {
    slot.chunk_table.push_back(from);
    slot.chunk_table.push_back(to);
  }
  slot.last_init.assign(job.chunks.size(), -1);
  slot.counts_host.assign(2, 0);
  slot.last_host.assign(job.chunks.size(), -1);
  if (!ensure(s, slot.bits, static_cast<std::size_t>(words) * 4) ||
      !ensure(s, slot.starts, slot.region_count * s.block_primes * sizeof(cl_uint)) ||
      !ensure(s, slot.regions, slot.region_table.size() * sizeof(cl_int)) ||
      !ensure(s, slot.blocks, slot.block_table.size() * sizeof(cl_int)) ||
      !ensure(s, slot.chunks, slot.chunk_table.size() * sizeof(cl_int)) ||
      !ensure(s, slot.counts, 2 * sizeof(cl_uint)) ||
      !ensure(s, slot.last, slot.last_init.size() * sizeof(cl_int))) {
    return false;
  }
  std::vector<cl_event>& ev = slot.events;
  if (!write(s, slot.regions, slot.region_table, 0, ev) ||
      !write(s, slot.blocks, slot.block_table, 0, ev) ||
      !write(s, slot.chunks, slot.chunk_table, 0, ev) ||
      !write(s, slot.counts, slot.counts_host, 0, ev) ||
      !write(s, slot.last, slot.last_init, 0, ev)) {
    return false;
  }
  const auto k_lo = static_cast<cl_ulong>(job.k_first);
  const auto k_hi = static_cast<cl_ulong>(job.k_first >> 64);
  const cl_int n = job.n;
  const auto regions = static_cast<cl_uint>(slot.region_count);
  const auto head_lo = static_cast<cl_uint>(job.layout.head_bits);
  const auto head_hi = static_cast<cl_uint>(job.layout.head_bits >> 32);
  const cl_int fresh = 1, on_top = 0;
  const cl_uint zero = 0;
  const cl_uint chunk_count = static_cast<cl_uint>(job.chunks.size());
  const std::size_t blocks = slot.block_count * kSieveGroup;
  if (s.block_primes > 0) {
    if (!Args(s, s.sieve[State::kStarts])(s.sieve_primes)(s.block_primes)(s.plans)(
             k_lo)(k_hi)(n)(slot.regions.mem)(regions)(slot.starts.mem)
             .ok() ||
        !run(s, s.sieve[State::kStarts], round_up(s.block_primes, kSieveGroup), kSieveGroup, ev)) {
      return false;
    }
  }
  cl_kernel block = s.sieve[State::kBlock];
  if (!Args(s, block)(slot.bits.mem)(slot.regions.mem)(slot.blocks.mem)(s.sieve_primes)(
           slot.starts.mem)(s.block_primes)(zero)(s.by_word)(s.plans)(fresh)(head_lo)(head_hi)
           .ok() ||
      !run(s, block, blocks, kSieveGroup, ev)) {
    return false;
  }
  cl_kernel count = s.sieve[State::kCount];
  if (!Args(s, count)(slot.bits.mem)(slot.regions.mem)(slot.blocks.mem)(slot.counts.mem).ok() ||
      !run(s, count, blocks, kSieveGroup, ev)) {
    return false;
  }
  cl_kernel last = s.sieve[State::kLast];
  if (!Args(s, last)(slot.bits.mem)(slot.regions.mem)(regions)(slot.chunks.mem)(
           chunk_count)(slot.last.mem)
           .ok() ||
      !run(s, last, round_up(std::size_t{chunk_count} * regions, 64), 64, ev)) {
    return false;
  }
  if (!deeper) return true;
  if (s.block_primes > s.plans) {
    if (!Args(s, block)(slot.bits.mem)(slot.regions.mem)(slot.blocks.mem)(s.sieve_primes)(
             slot.starts.mem)(s.block_primes)(s.plans)(s.plans)(s.block_primes)(
             on_top)(head_lo)(head_hi)
             .ok() ||
        !run(s, block, blocks, kSieveGroup, ev)) {
      return false;
    }
  }
  // The deeper primes of the block size and more, up to the job's bound.
  const auto deep_end = static_cast<cl_uint>(
      std::upper_bound(s.sieve_q.begin() + s.block_primes, s.sieve_q.end(), job.deep_bound) -
      s.sieve_q.begin());
  if (deep_end > s.block_primes) {
    cl_kernel scatter = s.sieve[State::kScatter];
    const std::size_t items = std::size_t{deep_end - s.block_primes} * regions;
    if (!Args(s, scatter)(slot.bits.mem)(slot.regions.mem)(regions)(s.sieve_primes)(s.plans)(
             s.block_primes)(deep_end)(k_lo)(k_hi)(n)
             .ok() ||
        !run(s, scatter, round_up(items, kSieveGroup), kSieveGroup, ev)) {
      return false;
    }
  }
  return true;
}

// Queues the gathering of the survivors in [lo, hi) (counts[1] reset
// first) and their tests, whose divisors add to found.
bool queue_tests(State& s, SieveSlot& slot, cl_int lo, cl_int hi) {
  const Job& job = slot.job;
  std::vector<cl_event>& ev = slot.events;
  static const std::vector<cl_uint> kZero = {0};
  if (!write(s, slot.counts, kZero, 1, ev)) return false;
  const auto capacity = static_cast<cl_uint>(slot.offsets_capacity);
  cl_kernel compact = s.sieve[State::kCompact];
  if (!Args(s, compact)(slot.bits.mem)(slot.regions.mem)(slot.blocks.mem)(lo)(hi)(slot.counts.mem)(
           slot.offsets.mem)(capacity)
           .ok() ||
      !run(s, compact, slot.block_count * kSieveGroup, kSieveGroup, ev)) {
    return false;
  }
  const unsigned limbs = limbs_for(job.max_bits);
  const ExponentSplit split = choose_split(job.p, limbs, job.min_bits);
  cl_kernel test = s.search_list[limbs - 3];
  const cl_ulong exponent = job.p;
  const auto lead = static_cast<cl_uint>(split.lead);
  const cl_uint rest = split.rest, found_capacity = OpenClDevice::kFoundCapacity;
  const std::size_t group = s.group[limbs - 3];
  if (!Args(s, test)(slot.offsets.mem)(slot.counts.mem)(capacity)(exponent)(lead)(rest)(limb(
          job.base, 0))(limb(job.base, 1))(limb(job.base, 2))(limb(job.base, 3))(limb(job.step, 0))(
           limb(job.step, 1))(limb(job.step, 2))(slot.found.mem)(found_capacity)
           .ok() ||
      !run(s, test, round_up(std::size_t{s.compute_units} * 2048, group), group, ev)) {
    return false;
  }
  return true;
}

// Queues the reads of what a segment gives back; the last is waited on.
bool queue_reads(State& s, SieveSlot& slot) {
  return read(s, slot.counts, slot.counts_host, slot.events) &&
         read(s, slot.last, slot.last_host, slot.events) &&
         read(s, slot.found, slot.found_host, slot.events);
}

}  // namespace

bool OpenClDevice::load_sieve_primes(const FastSieveContext& ctx) {
  State& s = *state_;
  if (s.failed) return false;
  std::vector<cl_uint> table;
  for (std::size_t i = 0; i < ctx.primes.size(); ++i) {
    table.insert(table.end(), {ctx.primes[i], ctx.p_mod[i], ctx.inv_two_p[i], ctx.inv_sixty[i]});
  }
  std::uint32_t deep_in_blocks = 0;
  for (std::size_t i = 0; i < ctx.deep_primes.size(); ++i) {
    table.insert(table.end(), {ctx.deep_primes[i], ctx.deep_p_mod[i], ctx.deep_inv_two_p[i],
                               ctx.deep_inv_sixty[i]});
    if (ctx.deep_primes[i] < kBlockBits) ++deep_in_blocks;
  }
  s.sieve_q.clear();
  for (std::size_t i = 0; i < table.size(); i += 4) s.sieve_q.push_back(table[i]);
  s.plans = static_cast<std::uint32_t>(ctx.primes.size());
  s.by_word = static_cast<std::uint32_t>(ctx.pattern_primes);
  s.block_primes = s.plans + deep_in_blocks;
  s.all_primes = s.plans + static_cast<std::uint32_t>(ctx.deep_primes.size());
  if (s.sieve_primes != nullptr) s.cl->ReleaseMemObject(s.sieve_primes);
  s.sieve_primes = nullptr;
  if (table.empty()) return true;
  cl_int rc = CL_SUCCESS;
  s.sieve_primes = s.cl->CreateBuffer(s.context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                                      table.size() * sizeof(cl_uint), table.data(), &rc);
  if (rc != CL_SUCCESS) {
    s.sieve_primes = nullptr;
    return s.fail("clCreateBuffer", rc);
  }
  return true;
}

bool OpenClDevice::submit_segment(int slot_index, const SegmentJob& job) {
  State& s = *state_;
  if (s.failed) return false;
  SieveSlot& slot = s.sieve_slots[slot_index];
  if (!slot.events.empty()) {  // a segment left uncollected: done first
    const cl_int rc = s.cl->Finish(s.queue);
    if (rc != CL_SUCCESS) return s.fail("clFinish", rc);
    release(s, slot.events);
  }
  ++s.launches;
  if (s.fault.kind == PlantedFault::Kind::Fail && s.launches > s.fault.after) {
    return s.fail_because("clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES (planted)");
  }
  slot.stall = s.fault.kind == PlantedFault::Kind::Stall && s.launches > s.fault.after;
  slot.wrong = s.fault.kind == PlantedFault::Kind::Wrong && s.launches > s.fault.after;
  if (!queue_sieve(s, slot, job, true)) return false;
  slot.sieve_events = slot.events.size();
  // Room for the survivors: what the segment can hold at most, up to the
  // slot's present room.
  const std::size_t most =
      std::min({window_bound(job, static_cast<std::size_t>(job.n)),
                std::max(slot.offsets_capacity, kFirstOffsets), s.max_alloc / sizeof(cl_uint)});
  if (most > slot.offsets_capacity) {
    if (!ensure(s, slot.offsets, most * sizeof(cl_uint))) return false;
    slot.offsets_capacity = most;
  }
  slot.found_host.assign(1 + kFoundCapacity, 0);
  if (!ensure(s, slot.found, slot.found_host.size() * sizeof(cl_uint))) return false;
  static const std::vector<cl_uint> kZero = {0};
  if (!write(s, slot.found, kZero, 0, slot.events) || !queue_tests(s, slot, 0, job.n) ||
      !queue_reads(s, slot)) {
    return false;
  }
  const cl_int rc = s.cl->Flush(s.queue);
  if (rc != CL_SUCCESS) return s.fail("clFlush", rc);
  return true;
}

OpenClDevice::Collected OpenClDevice::collect_segment(int slot_index, SegmentResult& result) {
  State& s = *state_;
  SieveSlot& slot = s.sieve_slots[slot_index];
  if (s.failed || slot.events.empty()) {
    if (!s.failed) s.fail_because("a segment was collected that was never queued");
    return Collected::Failed;
  }
  if (!s.wait_for_event(slot.events.back(), slot.stall)) return Collected::Failed;
  s.busy += s.profiled_seconds(slot.events);
  s.sieve_busy += s.profiled_seconds(std::vector<cl_event>(
      slot.events.begin(), slot.events.begin() + static_cast<std::ptrdiff_t>(slot.sieve_events)));
  release(s, slot.events);
  if (slot.counts_host[1] > slot.offsets_capacity) {
    // More survivors than the room: tested again window by window (the
    // divisors so far are dropped), and more room for the next segment.
    const std::size_t survivors = slot.counts_host[1];
    const std::int64_t width =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(slot.offsets_capacity - 138) * 60 / 16);
    const std::int64_t step =
        slot.job.layout.periods == 0 ? static_cast<std::int64_t>(slot.offsets_capacity) : width;
    static const std::vector<cl_uint> kZero = {0};
    if (!write(s, slot.found, kZero, 0, slot.events)) return Collected::Failed;
    for (std::int64_t lo = 0; lo < slot.job.n; lo += step) {
      const auto hi = static_cast<cl_int>(std::min<std::int64_t>(lo + step, slot.job.n));
      if (!queue_tests(s, slot, static_cast<cl_int>(lo), hi)) return Collected::Failed;
    }
    const std::vector<cl_uint> counts = slot.counts_host;
    if (!queue_reads(s, slot) || !s.wait_for_event(slot.events.back(), false)) return Collected::Failed;
    s.busy += s.profiled_seconds(slot.events);
    release(s, slot.events);
    slot.counts_host = counts;  // the plan's count of the first pass
    const std::size_t grown =
        std::min({survivors + survivors / 4, kMostOffsets, s.max_alloc / sizeof(cl_uint)});
    if (grown > slot.offsets_capacity && ensure(s, slot.offsets, grown * sizeof(cl_uint))) {
      slot.offsets_capacity = grown;
    }
    if (s.failed) return Collected::Failed;
  }
  result.marked = static_cast<std::int64_t>(slot.counts_host[0]) + slot.pattern_marks;
  result.last.assign(slot.last_host.begin(), slot.last_host.end());
  const std::uint32_t found = slot.found_host[0];
  if (found > kFoundCapacity) return Collected::Overflow;
  result.hits.assign(slot.found_host.begin() + 1, slot.found_host.begin() + 1 + found);
  if (slot.wrong) result.hits.push_back(0);
  return Collected::Done;
}

bool OpenClDevice::segment_marks(const SegmentJob& job, bool deeper,
                                 std::vector<std::vector<std::uint32_t>>& regions) {
  State& s = *state_;
  if (s.failed) return false;
  SieveSlot& slot = s.sieve_slots[0];
  if (!slot.events.empty()) {
    if (s.cl->Finish(s.queue) != CL_SUCCESS) return s.fail_because("clFinish failed");
    release(s, slot.events);
  }
  if (!queue_sieve(s, slot, job, deeper)) return false;
  const cl_int rc = s.cl->Finish(s.queue);
  release(s, slot.events);
  if (rc != CL_SUCCESS) return s.fail("clFinish", rc);
  regions.clear();
  for (std::size_t r = 0; r < slot.region_count; ++r) {
    const cl_int* row = &slot.region_table[r * kRegionInts];
    std::vector<std::uint32_t> words(static_cast<std::size_t>((row[2] + 31) / 32));
    const cl_int got = s.cl->EnqueueReadBuffer(s.queue, slot.bits.mem, CL_TRUE,
                                               static_cast<std::size_t>(row[3]) * 4,
                                               words.size() * 4, words.data(), 0, nullptr, nullptr);
    if (got != CL_SUCCESS) return s.fail("clEnqueueReadBuffer", got);
    regions.push_back(std::move(words));
  }
  return true;
}
