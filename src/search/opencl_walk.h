// SPDX-License-Identifier: MIT
// A run's search on an OpenCL device, in either of two ways: whole segments
// on the device (OpenClSegmentWalk: sieve, count, last clear offsets and
// tests there, the CPU only reporting), or the CPU's sieve with the tests
// of each chunk on the device (OpenClWalk).
//
// OpenClWalk: the tests of a run's chunks on the device, two chunks in flight: the
// team gathers a chunk's clear offsets straight from the mask into the
// device's host memory (32-bit offsets from the segment's first candidate)
// and the device tests them while the team gathers the next one, or sieves
// the next segment. Divisors come back as offsets, in increasing order, for
// report_chunk (fast_walk.h), which confirms each with mpz_powm: the output
// is byte for byte that of the CPU path.
//
// The device is opened when the first chunk that it can take is queued
// (exponent below 2^64, candidates below 2^124). Chunks it cannot take are
// tested by the CPU when they are taken; so is every chunk whose results
// are not in once the device has failed. A failure prints one line on
// stderr ("tamrisk: OpenCL device ...: REASON; testing on the CPU from k =
// K") and the walk goes on on the CPU, losing nothing and repeating nothing;
// so does a device that names a divisor that GMP does not confirm.
// Whenever a device is used, one line on stderr names it; a device chosen
// by default (Automatic) that tests its first chunks (kCompared candidates)
// more slowly than the CPU does is left, and that line says so.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gpu/device_request.h"
#include "gpu/opencl_device.h"
#include "search/fast_walk.h"
#include "core/thread_team.h"
#include "sieve/fast_mask.h"

// Whether a run with this request tests on a device at all: not for Cpu,
// and not by default while TAMRISK_KERNEL names a CPU kernel (or
// "portable"), which asks for the CPU's kernels.
bool wants_opencl(const DeviceRequest& request);

// One run's use of an OpenCL device: opened when first needed, named on
// stderr, left for the CPU on a failure or (when chosen by default) for
// being slower than the CPU, each with its one line.
class OpenClUse {
 public:
  explicit OpenClUse(const DeviceRequest& request) : request_(request) {}

  // The device, opened on the first call (and named there, when it was
  // asked for); nullptr when there is none to use or once it has been left.
  OpenClDevice* device();
  OpenClDevice* opened() const { return device_; }  // whether used or left
  // Whether a device chosen by default still has to prove itself.
  bool on_trial() const { return active_ && !checked_; }
  // The trial's end: the device kept (and named) or left as slower.
  void verdict(bool slower);
  // Leaves the device; its line names why and the k from which the CPU
  // takes over.
  void give_up(mpz_srcptr k, const std::string& why);

 private:
  DeviceRequest request_;
  OpenClDevice* device_ = nullptr;
  bool tried_ = false;    // the device was asked for
  bool active_ = false;   // it takes work
  bool checked_ = false;  // its trial is over (or it needs none)
};

class OpenClWalk {
 public:
  OpenClWalk(const DeviceRequest& request, ThreadTeam& team);

  // Queues the chunk [from, to) of a segment: mask, candidates and CPU tests
  // must stay as they are until the chunk is taken. At most two chunks are
  // queued at a time.
  void submit(const FastMask& mask, const SegmentCandidates& segment, CpuChunkTests& cpu,
              std::int32_t from, std::int32_t to);

  // The divisors' offsets of the oldest queued chunk, in increasing order.
  std::vector<std::int64_t> take();

  // After the last chunk: a device chosen by default whose comparison with
  // the CPU did not come to its end is named (or left) on what was seen.
  void finish();

  // Candidates over which a device chosen by default is compared with the
  // CPU (its first chunks, tested on both) before it is kept or left.
  static constexpr std::size_t kCompared = std::size_t{1} << 16;

  // Chunks tested on the device and on the CPU so far, and the device.
  std::size_t device_chunks() const { return device_chunks_; }
  std::size_t cpu_chunks() const { return cpu_chunks_; }
  OpenClDevice* device() const { return use_.opened(); }

 private:
  struct Queued {
    const FastMask* mask;
    const SegmentCandidates* segment;
    CpuChunkTests* cpu;
    std::int32_t from, to;
    int slot;           // -1: for the CPU
    std::size_t count;  // candidates handed to the device
  };

  // Leaves the device for the CPU from the chunk `first` on, with its line.
  void give_up(const Queued& first, const std::string& why);
  std::vector<std::int64_t> on_cpu(const Queued& chunk);

  OpenClUse use_;
  ThreadTeam& team_;
  OpenClDevice* device_ = nullptr;  // while it takes chunks
  int next_slot_ = 0;
  std::deque<Queued> queue_;
  std::vector<std::size_t> counts_, starts_;
  std::vector<std::uint32_t> hits_;
  std::size_t device_chunks_ = 0, cpu_chunks_ = 0;
  double compared_device_ = 0, compared_cpu_ = 0;  // seconds of the chunks on trial
  std::size_t compared_count_ = 0;                 // and their candidates
};

// The deeper sieve's bound on a device: GPU programs of this kind sieve to
// between 10^6 and about 1.6 * 10^7; the deeper primes above the block size
// cost a device one step per mark only. Not measured on a GPU here (none
// was at hand): segment_bench --device-deep-bound B measures others.
inline constexpr std::uint32_t kDeviceDeepSieveBound = 1u << 22;

// The device's job for a segment: its layout from ctx, its candidates, its
// chunks (all deeper primes of ctx in use).
OpenClDevice::SegmentJob device_job(
    const FastSieveContext& ctx, const SegmentCandidates& segment,
    const std::vector<std::pair<std::int32_t, std::int32_t>>& chunks);

// Whole segments on the device, two in flight: while the host reports one
// (its lines, records and checkpoint), the device sieves and tests the
// next. A segment the device cannot take (exponent of 64 bits or more,
// candidates of more than 124) or whose results are lost (a failure, a
// divisor GMP does not confirm) is done on the CPU by the caller, and so is
// every segment after a failure; the lines are OpenClUse's.
class OpenClSegmentWalk {
 public:
  // ctx: the run's primes as the device marks them (deeper ones up to
  // kDeviceDeepSieveBound or what the caller chose).
  OpenClSegmentWalk(const DeviceRequest& request, const FastSieveContext& ctx);

  // Queues the segment of n values of k from k_first with its chunks; at
  // most two are queued at a time.
  void submit(const SegmentCandidates& segment,
              const std::vector<std::pair<std::int32_t, std::int32_t>>& chunks);

  // The oldest queued segment's results (divisors confirmed with GMP, in
  // increasing order), or nullopt: the CPU's to do.
  struct Taken {
    std::int64_t marked = 0;
    std::vector<std::int64_t> last;
    std::vector<std::int64_t> hits;
  };
  std::optional<Taken> take();

  // A device chosen by default, on trial, is compared on the first segment
  // it takes: the caller does that segment on the CPU too and gives both
  // times and whether the results agree.
  bool on_trial() const { return use_.on_trial(); }
  void trial(bool agree, double device_seconds, double cpu_seconds, mpz_srcptr k_first);

  OpenClDevice* device() const { return use_.opened(); }

 private:
  struct Queued {
    const SegmentCandidates* segment;
    int slot;  // -1: for the CPU
  };
  OpenClUse use_;
  const FastSieveContext& ctx_;
  OpenClDevice* device_ = nullptr;
  bool loaded_ = false;  // the primes are on the device
  int next_slot_ = 0;
  std::deque<Queued> queue_;
  OpenClDevice::SegmentResult result_;
};
