// SPDX-License-Identifier: MIT
// One OpenCL device with the kernels of kernels.cl built for it: the
// search's test of candidates base + step * offset, and plain residues for
// the tests. Contract of the arithmetic: 2^p mod d exactly, for every
// exponent 1 <= p < 2^64 and odd d with 3 <= d < 2^kMaxBits (mont32.h).
//
// The search's batches go through slots: reserve() gives host memory for a
// slot's offsets, launch() queues their copy, the kernel and the read of the
// results, collect() waits for them; with two slots the device tests one
// batch while the caller fills the other. Everything that goes wrong (no
// memory, a build that fails, a lost device, a batch that does not come
// back in time) makes the call return false and leaves the reason in
// failure(); the device is then of no further use (failed() stays true).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gpu/device_request.h"
#include "core/u128.h"
#include "sieve/fast_mask.h"

class OpenClDevice {
 public:
  static constexpr unsigned kMaxBits = 124;  // four limbs; three below 2^92
  static constexpr int kSlots = 2;
  // Divisors one batch can return; a batch with more is tested again on the
  // CPU (collect() says so), which only degenerate exponents ever need.
  static constexpr std::uint32_t kFoundCapacity = 1024;
  // Bits of a region the sieve marks at a time in local memory (BLOCK_BITS
  // of sieve.cl): the plan's primes lie below it, and so do the deeper
  // primes that mark within blocks; the larger ones mark straight into
  // the region, at no cost for the blocks they skip.
  static constexpr std::uint32_t kSieveBlockBits = 262144;

  // Opens the device the request names and builds the kernels. nullptr when
  // that fails, with the reason in *why ("OpenCL: REASON", or "OpenCL
  // device DESCRIPTION: REASON" once a device was found); for an Automatic
  // request without any GPU (or without OpenCL at all), nullptr with *why
  // empty. Not for Cpu requests.
  static std::unique_ptr<OpenClDevice> open(const DeviceRequest& request, std::string* why);
  ~OpenClDevice();
  OpenClDevice(const OpenClDevice&) = delete;
  OpenClDevice& operator=(const OpenClDevice&) = delete;

  // "P:D: NAME (PLATFORM, driver VERSION)", the same on every run.
  const std::string& description() const;
  bool is_gpu() const;
  // Its place in OpenCL's lists (TAMRISK_DEVICE=opencl:P:D names it).
  unsigned platform_index() const;
  unsigned device_index() const;

  // ---- the search's batches
  // The most offsets one batch can hold (the device's largest buffer).
  std::size_t max_batch() const;
  // Host memory for count offsets of the slot (at least one), valid until
  // the slot's next reserve(); nullptr on failure. Only once the slot's
  // last batch has been collected.
  std::uint32_t* reserve(int slot, std::size_t count);
  // Queues the test of the first count reserved offsets: candidate
  // base + step * offset, every one odd, at least 3 and below 2^kMaxBits,
  // the smallest of min_bits bits and the largest of max_bits.
  bool launch(int slot, std::uint64_t p, u128 base, u128 step, std::size_t count, unsigned min_bits,
              unsigned max_bits);
  enum class Collected { Done, Overflow, Failed };
  // Waits for the slot's batch: its divisors' offsets (any order) in hits;
  // Overflow when more than kFoundCapacity divided (hits then incomplete).
  Collected collect(int slot, std::vector<std::uint32_t>& hits);

  // The same, at once: tests n offsets and returns their divisors' offsets.
  Collected search(std::uint64_t p, u128 base, u128 step, const std::uint32_t* offsets,
                   std::size_t n, std::vector<std::uint32_t>& hits);

  // ---- whole segments: the sieve, its count and last clear offsets, the tests
  // The run's primes, once before the first segment: the plan's and the
  // deeper ones of ctx, whose marks the device lays exactly as the fast mask.
  bool load_sieve_primes(const FastSieveContext& ctx);

  // One segment of n values of k from k_first (below 2^124), laid out as
  // fast_layout gives it, its twentieths [from, to) as the walk cuts them;
  // candidates base + step * offset of min_bits to max_bits bits (native,
  // below 2^kMaxBits).
  struct SegmentJob {
    u128 k_first = 0;
    std::int32_t n = 0;
    FastLayout layout;
    std::vector<std::pair<std::int32_t, std::int32_t>> chunks;
    std::uint64_t p = 0;
    u128 base = 0, step = 0;
    unsigned min_bits = 0, max_bits = 0;
    // The deeper primes up to this bound mark the segment (of those loaded).
    std::uint32_t deep_bound = ~std::uint32_t{0};
  };
  struct SegmentResult {
    std::int64_t marked = 0;          // the plan's marks among offsets 0 .. n - 1
    std::vector<std::int64_t> last;   // each twentieth's last offset the plan leaves clear, or -1
    std::vector<std::uint32_t> hits;  // offsets of the divisors found (any order)
  };
  // Queues the segment in the slot (its results read back without waiting);
  // collect_segment waits for them. Overflow: more divisors than
  // kFoundCapacity (hits then incomplete; the CPU tests the segment).
  bool submit_segment(int slot, const SegmentJob& job);
  Collected collect_segment(int slot, SegmentResult& result);

  // For the tests: the marks of a segment, without the deeper ones or with
  // them, region by region (fast_mask.h: the head, the 16 lanes, the tail;
  // or one plain region), as 32-bit words (bit t of word t / 32).
  bool segment_marks(const SegmentJob& job, bool deeper,
                     std::vector<std::vector<std::uint32_t>>& regions);

  // residue[i] = 2^p mod d[i] for odd 3 <= d[i] < 2^kMaxBits; false on failure.
  bool powm2(std::uint64_t p, const u128* d, std::size_t n, u128* residue);

  // Seconds the device spent on the launches since the last call (copies,
  // kernels, reads), from its own clock: what the benchmarks report as the
  // device's busy time.
  double take_busy_seconds();
  // Of those, the test kernels' of the search's batches alone, and the
  // sieve's of whole segments (its copies included).
  double take_kernel_seconds();
  double take_sieve_seconds();

  bool failed() const;
  const std::string& failure() const;

  struct State;  // the OpenCL objects (opencl_device.cpp)

 private:
  explicit OpenClDevice(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The device this process opened for the request, opened on the first call
// and kept for the process (the kernels are built once); opened anew when
// the one kept has failed. nullptr as for OpenClDevice::open, with *why.
OpenClDevice* shared_opencl_device(const DeviceRequest& request, std::string* why);

// Whether a run with this request may find a device to use: a request for
// one always may (it is opened, or said to be missing, when first needed);
// by default only when an OpenCL device of type GPU is there, which this
// checks without opening it.
bool opencl_device_offered(const DeviceRequest& request);
