// SPDX-License-Identifier: MIT
#include "gpu/opencl_segments.h"

#include <algorithm>
#include <utility>

#include "gpu/device_tuning.h"
#include "gpu/kernel_launch.h"

namespace {

// A device buffer with its size in bytes.
struct Buffer {
  ClMem mem;
  std::size_t bytes = 0;
};

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

struct OpenClSegments::Slot {
  Buffer bits, starts, regions, blocks, chunks, counts, last, offsets, found, flags;
  // The tables as written (the writes read them after the call returns).
  std::vector<cl_int> region_table, block_table, chunk_table, last_init;
  std::vector<cl_uint> counts_host, found_host, flags_host;
  std::size_t flag_capacity = 0;  // flags the buffer holds, beyond its count
  std::vector<cl_int> last_host;
  ClEvents events;                 // the last is waited on
  std::size_t sieve_events = 0;    // the first ones: the sieve's
  std::int64_t pattern_marks = 0;  // (60 - 16) per period, in no region
  std::size_t region_count = 0, block_count = 0, offsets_capacity = 0;
  DeviceSegmentJob job;  // for a test again in windows
  bool stall = false, wrong = false;
};

namespace {

using Slot = OpenClSegments::Slot;

// What queues the commands of one slot: every call returns false after
// recording the device's failure.
class Queue {
 public:
  Queue(OpenClDevice& device, Slot& slot) : device_(device), slot_(slot) {}

  // A buffer of at least `bytes`, made anew when the one there is smaller.
  bool ensure(Buffer& b, std::size_t bytes) {
    bytes = std::max<std::size_t>(bytes, 8);
    if (b.mem && b.bytes >= bytes) return true;
    cl_int rc = CL_SUCCESS;
    b.mem.reset();  // the old one goes first: device memory may not hold both
    b.mem.reset(opencl_api(nullptr)->CreateBuffer(device_.context(), CL_MEM_READ_WRITE, bytes,
                                                  nullptr, &rc));
    b.bytes = rc == CL_SUCCESS ? bytes : 0;
    return rc == CL_SUCCESS || device_.fail("clCreateBuffer", rc);
  }

  template <typename T>
  bool write(const Buffer& b, const std::vector<T>& host, std::size_t at = 0) {
    if (host.empty()) return true;
    const cl_int rc = opencl_api(nullptr)->EnqueueWriteBuffer(
        device_.queue(), b.mem.get(), CL_FALSE, at * sizeof(T), host.size() * sizeof(T),
        host.data(), 0, nullptr, slot_.events.next());
    return rc == CL_SUCCESS || device_.fail("clEnqueueWriteBuffer", rc);
  }

  template <typename T>
  bool read(const Buffer& b, std::vector<T>& host) {
    if (host.empty()) return true;
    const cl_int rc = opencl_api(nullptr)->EnqueueReadBuffer(
        device_.queue(), b.mem.get(), CL_FALSE, 0, host.size() * sizeof(T), host.data(), 0, nullptr,
        slot_.events.next());
    return rc == CL_SUCCESS || device_.fail("clEnqueueReadBuffer", rc);
  }

  // The kernel with its arguments over global work-items in groups of local.
  template <typename... Args>
  bool run(DeviceKernel which, std::size_t global, std::size_t local, const Args&... args) {
    const cl_kernel kernel = device_.kernel(which);
    cl_int rc = set_kernel_args(kernel, args...);
    if (rc != CL_SUCCESS) return device_.fail("clSetKernelArg", rc);
    if (global == 0) return true;
    rc = opencl_api(nullptr)->EnqueueNDRangeKernel(device_.queue(), kernel, 1, nullptr, &global,
                                                   &local, 0, nullptr, slot_.events.next());
    return rc == CL_SUCCESS || device_.fail("clEnqueueNDRangeKernel", rc);
  }

 private:
  OpenClDevice& device_;
  Slot& slot_;
};

}  // namespace

OpenClSegments::OpenClSegments(OpenClDevice& device)
    : device_(device), slots_(std::make_unique<Slot[]>(kSlots)) {}

OpenClSegments::~OpenClSegments() {
  // A device that lost a segment may never finish it: what it uses stays.
  if (device_.stalled()) {
    keep_unreleased(std::move(slots_));
    keep_unreleased(std::make_unique<ClMem>(std::move(primes_)));
    return;
  }
  opencl_api(nullptr)->Finish(device_.queue());
}

bool OpenClSegments::load_primes(const FastSieveContext& ctx) {
  if (device_.failed()) return false;
  std::vector<cl_uint> table;
  for (std::size_t i = 0; i < ctx.primes.size(); ++i) {
    table.insert(table.end(), {ctx.primes[i], ctx.p_mod[i], ctx.inv_two_p[i], ctx.inv_sixty[i]});
  }
  std::uint32_t deep_in_blocks = 0;
  for (std::size_t i = 0; i < ctx.deep_primes.size(); ++i) {
    table.insert(table.end(), {ctx.deep_primes[i], ctx.deep_p_mod[i], ctx.deep_inv_two_p[i],
                               ctx.deep_inv_sixty[i]});
    if (ctx.deep_primes[i] < kSieveBlockBits) ++deep_in_blocks;
  }
  prime_values_.clear();
  for (std::size_t i = 0; i < table.size(); i += 4) prime_values_.push_back(table[i]);
  plans_ = static_cast<std::uint32_t>(ctx.primes.size());
  by_word_ = static_cast<std::uint32_t>(ctx.pattern_primes);
  block_primes_ = plans_ + deep_in_blocks;
  primes_.reset();
  if (table.empty()) return true;
  cl_int rc = CL_SUCCESS;
  primes_.reset(
      opencl_api(nullptr)->CreateBuffer(device_.context(), CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                                        table.size() * sizeof(cl_uint), table.data(), &rc));
  return rc == CL_SUCCESS || device_.fail("clCreateBuffer", rc);
}

namespace {

// Queues the sieve of the slot's segment: its plan's marks, counted, each
// chunk's last clear offset, then (when deeper) the deeper marks.
bool queue_sieve(OpenClDevice& device, Slot& slot, const DeviceSegmentJob& job, bool deeper,
                 cl_mem primes, std::uint32_t plans, std::uint32_t by_word,
                 std::uint32_t block_primes, const std::vector<std::uint32_t>& prime_values) {
  if (device.local_memory() < kSieveBlockBits / 8 + kSieveLocalSpare) {
    return device.fail_because("its local memory (" + std::to_string(device.local_memory() / 1024) +
                               " KiB) is below the sieve's " +
                               std::to_string((kSieveBlockBits / 8 + kSieveLocalSpare) / 1024) +
                               " KiB");
  }
  Queue q(device, slot);
  slot.job = job;
  const std::int64_t words = region_table(job, slot.region_table);
  block_table(slot.region_table, kSieveBlockBits, slot.block_table);
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
  if (!q.ensure(slot.bits, static_cast<std::size_t>(words) * 4) ||
      !q.ensure(slot.starts, slot.region_count * block_primes * sizeof(cl_uint)) ||
      !q.ensure(slot.regions, slot.region_table.size() * sizeof(cl_int)) ||
      !q.ensure(slot.blocks, slot.block_table.size() * sizeof(cl_int)) ||
      !q.ensure(slot.chunks, slot.chunk_table.size() * sizeof(cl_int)) ||
      !q.ensure(slot.counts, 2 * sizeof(cl_uint)) ||
      !q.ensure(slot.last, slot.last_init.size() * sizeof(cl_int))) {
    return false;
  }
  if (!q.write(slot.regions, slot.region_table) || !q.write(slot.blocks, slot.block_table) ||
      !q.write(slot.chunks, slot.chunk_table) || !q.write(slot.counts, slot.counts_host) ||
      !q.write(slot.last, slot.last_init)) {
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
  const auto chunk_count = static_cast<cl_uint>(job.chunks.size());
  const std::size_t blocks = slot.block_count * kSieveGroup;
  if (block_primes > 0 && !q.run(DeviceKernel::SieveStarts, round_up(block_primes, kSieveGroup),
                                 kSieveGroup, primes, block_primes, plans, k_lo, k_hi, n,
                                 slot.regions.mem.get(), regions, slot.starts.mem.get())) {
    return false;
  }
  if (!q.run(DeviceKernel::SieveBlock, blocks, kSieveGroup, slot.bits.mem.get(),
             slot.regions.mem.get(), slot.blocks.mem.get(), primes, slot.starts.mem.get(),
             block_primes, zero, by_word, plans, fresh, head_lo, head_hi) ||
      !q.run(DeviceKernel::SieveCount, blocks, kSieveGroup, slot.bits.mem.get(),
             slot.regions.mem.get(), slot.blocks.mem.get(), slot.counts.mem.get()) ||
      !q.run(DeviceKernel::SieveLast, round_up(std::size_t{chunk_count} * regions, 64), 64,
             slot.bits.mem.get(), slot.regions.mem.get(), regions, slot.chunks.mem.get(),
             chunk_count, slot.last.mem.get())) {
    return false;
  }
  if (!deeper) return true;
  if (block_primes > plans &&
      !q.run(DeviceKernel::SieveBlock, blocks, kSieveGroup, slot.bits.mem.get(),
             slot.regions.mem.get(), slot.blocks.mem.get(), primes, slot.starts.mem.get(),
             block_primes, plans, plans, block_primes, on_top, head_lo, head_hi)) {
    return false;
  }
  // The deeper primes of the block size and more, up to the job's bound.
  const auto deep_end = static_cast<cl_uint>(
      std::upper_bound(prime_values.begin() + block_primes, prime_values.end(), job.deep_bound) -
      prime_values.begin());
  if (deep_end > block_primes) {
    const std::size_t items = std::size_t{deep_end - block_primes} * regions;
    if (!q.run(DeviceKernel::SieveScatter, round_up(items, kSieveGroup), kSieveGroup,
               slot.bits.mem.get(), slot.regions.mem.get(), regions, primes, plans, block_primes,
               deep_end, k_lo, k_hi, n)) {
      return false;
    }
  }
  return true;
}

// Queues the gathering of the survivors in [lo, hi) (counts[1] reset
// first) and their tests, whose divisors add to found.
bool queue_tests(OpenClDevice& device, Slot& slot, cl_int lo, cl_int hi) {
  Queue q(device, slot);
  const DeviceSegmentJob& job = slot.job;
  static const std::vector<cl_uint> kZero = {0};
  if (!q.write(slot.counts, kZero, 1)) return false;
  const auto capacity = static_cast<cl_uint>(slot.offsets_capacity);
  if (!q.run(DeviceKernel::SieveCompact, slot.block_count * kSieveGroup, kSieveGroup,
             slot.bits.mem.get(), slot.regions.mem.get(), slot.blocks.mem.get(), lo, hi,
             slot.counts.mem.get(), slot.offsets.mem.get(), capacity)) {
    return false;
  }
  const unsigned limbs = limbs_for(job.max_bits);
  const ExponentSplit split = choose_split(job.p, limbs, job.min_bits);
  const DeviceKernel test = limbs == 3 ? DeviceKernel::SearchList3 : DeviceKernel::SearchList4;
  const std::size_t group = device.group(test);
  return q.run(test, round_up(std::size_t{device.compute_units()} * kTestItemsPerUnit, group),
               group, slot.offsets.mem.get(), slot.counts.mem.get(), capacity, cl_ulong{job.p},
               static_cast<cl_uint>(split.lead), cl_uint{split.rest}, limb(job.base, 0),
               limb(job.base, 1), limb(job.base, 2), limb(job.base, 3), limb(job.step, 0),
               limb(job.step, 1), limb(job.step, 2), slot.found.mem.get(), cl_uint{kFoundCapacity},
               job.check_bits == 0 ? cl_uint{0} : (cl_uint{1} << job.check_bits) - 1,
               slot.flags.mem.get(), static_cast<cl_uint>(slot.flag_capacity));
}

// Queues the reads of what a segment gives back; the last is waited on.
bool queue_reads(OpenClDevice& device, Slot& slot) {
  Queue q(device, slot);
  return q.read(slot.counts, slot.counts_host) && q.read(slot.last, slot.last_host) &&
         q.read(slot.found, slot.found_host) && q.read(slot.flags, slot.flags_host);
}

// A slot's earlier commands, done before it is used again.
bool drain(OpenClDevice& device, Slot& slot) {
  if (slot.events.empty()) return true;
  const cl_int rc = opencl_api(nullptr)->Finish(device.queue());
  slot.events.clear();
  return rc == CL_SUCCESS || device.fail("clFinish", rc);
}

}  // namespace

bool OpenClSegments::submit(int slot_index, const DeviceSegmentJob& job) {
  if (device_.failed()) return false;
  Slot& slot = slots_[slot_index];
  if (!drain(device_, slot)) return false;  // a segment left uncollected
  const OpenClDevice::Launch planted = device_.next_launch();
  if (planted.fail) {
    return device_.fail_because("clEnqueueNDRangeKernel: CL_OUT_OF_RESOURCES (planted)");
  }
  slot.stall = planted.stall;
  slot.wrong = planted.wrong;
  if (!queue_sieve(device_, slot, job, true, primes_.get(), plans_, by_word_, block_primes_,
                   prime_values_)) {
    return false;
  }
  slot.sieve_events = slot.events.size();
  // Room for the survivors: what the segment can hold at most, up to the
  // slot's present room.
  Queue q(device_, slot);
  const std::size_t most = std::min({window_bound(job, static_cast<std::size_t>(job.n)),
                                     std::max(slot.offsets_capacity, kFirstOffsets),
                                     device_.max_alloc() / sizeof(cl_uint)});
  if (most > slot.offsets_capacity) {
    if (!q.ensure(slot.offsets, most * sizeof(cl_uint))) return false;
    slot.offsets_capacity = most;
  }
  slot.found_host.assign(1 + kFoundCapacity, 0);
  if (!q.ensure(slot.found, slot.found_host.size() * sizeof(cl_uint))) return false;
  // Room for the flags: about one survivor in 2^check_bits, with a wide
  // margin over the most the segment can hold.
  slot.flag_capacity =
      (job.check_bits == 0 ? 0
                           : window_bound(job, static_cast<std::size_t>(job.n)) >> job.check_bits) *
          2 +
      4096;
  slot.flags_host.assign(1 + slot.flag_capacity, 0);
  if (!q.ensure(slot.flags, slot.flags_host.size() * sizeof(cl_uint))) return false;
  static const std::vector<cl_uint> kZero = {0};
  if (!q.write(slot.found, kZero) || !q.write(slot.flags, kZero) ||
      !queue_tests(device_, slot, 0, job.n) || !queue_reads(device_, slot)) {
    return false;
  }
  const cl_int rc = opencl_api(nullptr)->Flush(device_.queue());
  return rc == CL_SUCCESS || device_.fail("clFlush", rc);
}

DeviceCollected OpenClSegments::collect(int slot_index, DeviceSegmentResult& result) {
  Slot& slot = slots_[slot_index];
  if (device_.failed() || slot.events.empty()) {
    if (!device_.failed()) device_.fail_because("a segment was collected that was never queued");
    return DeviceCollected::Failed;
  }
  if (!device_.wait(slot.events.back(), slot.stall)) return DeviceCollected::Failed;
  device_.add_busy(device_.profiled_seconds(slot.events.raw()), OpenClDevice::Busy::Total);
  device_.add_busy(device_.profiled_seconds(slot.events.raw(0, slot.sieve_events)),
                   OpenClDevice::Busy::Sieve);
  slot.events.clear();
  if (slot.counts_host[1] > slot.offsets_capacity) {
    // More survivors than the room: tested again window by window (the
    // divisors so far are dropped), and more room for the next segment.
    const std::size_t survivors = slot.counts_host[1];
    const std::int64_t step = slot.job.layout.periods == 0
                                  ? static_cast<std::int64_t>(slot.offsets_capacity)
                                  : window_for(slot.offsets_capacity);
    Queue q(device_, slot);
    static const std::vector<cl_uint> kZero = {0};
    if (!q.write(slot.found, kZero) || !q.write(slot.flags, kZero)) return DeviceCollected::Failed;
    for (std::int64_t lo = 0; lo < slot.job.n; lo += step) {
      const auto hi = static_cast<cl_int>(std::min<std::int64_t>(lo + step, slot.job.n));
      if (!queue_tests(device_, slot, static_cast<cl_int>(lo), hi)) return DeviceCollected::Failed;
    }
    const std::vector<cl_uint> counts = slot.counts_host;
    if (!queue_reads(device_, slot) || !device_.wait(slot.events.back(), false)) {
      return DeviceCollected::Failed;
    }
    device_.add_busy(device_.profiled_seconds(slot.events.raw()), OpenClDevice::Busy::Total);
    slot.events.clear();
    slot.counts_host = counts;  // the plan's count of the first pass
    const std::size_t grown =
        std::min({survivors + survivors / 4, kMostOffsets, device_.max_alloc() / sizeof(cl_uint)});
    if (grown > slot.offsets_capacity && q.ensure(slot.offsets, grown * sizeof(cl_uint))) {
      slot.offsets_capacity = grown;
    }
    if (device_.failed()) return DeviceCollected::Failed;
  }
  result.marked = static_cast<std::int64_t>(slot.counts_host[0]) + slot.pattern_marks;
  result.tested = slot.counts_host[1];
  result.last.assign(slot.last_host.begin(), slot.last_host.end());
  const std::uint32_t found = slot.found_host[0];
  result.flag_count = slot.flags_host[0];
  // What the buffers hold; more than they hold is an overflow (the flags
  // there can still be checked).
  result.hits.assign(slot.found_host.begin() + 1,
                     slot.found_host.begin() + 1 + std::min<std::size_t>(found, kFoundCapacity));
  result.flags.assign(
      slot.flags_host.begin() + 1,
      slot.flags_host.begin() + 1 + std::min<std::size_t>(result.flag_count, slot.flag_capacity));
  if (found > kFoundCapacity || result.flag_count > slot.flag_capacity) {
    return DeviceCollected::Overflow;
  }
  if (slot.wrong) result.hits.push_back(0);
  return DeviceCollected::Done;
}

bool OpenClSegments::marks(const DeviceSegmentJob& job, bool deeper,
                           std::vector<std::vector<std::uint32_t>>& regions) {
  if (device_.failed()) return false;
  Slot& slot = slots_[0];
  if (!drain(device_, slot) || !queue_sieve(device_, slot, job, deeper, primes_.get(), plans_,
                                            by_word_, block_primes_, prime_values_)) {
    return false;
  }
  const OpenClApi* cl = opencl_api(nullptr);
  const cl_int rc = cl->Finish(device_.queue());
  slot.events.clear();
  if (rc != CL_SUCCESS) return device_.fail("clFinish", rc);
  regions.clear();
  for (std::size_t r = 0; r < slot.region_count; ++r) {
    const cl_int* row = &slot.region_table[r * kRegionInts];
    std::vector<std::uint32_t> words(static_cast<std::size_t>((row[2] + 31) / 32));
    const cl_int got = cl->EnqueueReadBuffer(device_.queue(), slot.bits.mem.get(), CL_TRUE,
                                             static_cast<std::size_t>(row[3]) * 4, words.size() * 4,
                                             words.data(), 0, nullptr, nullptr);
    if (got != CL_SUCCESS) return device_.fail("clEnqueueReadBuffer", got);
    regions.push_back(std::move(words));
  }
  return true;
}
