/* SPDX-License-Identifier: MIT */
/* The sieve of one segment on the device: the marks of the CPU's fast mask
 * (sieve/fast_mask.h), bit for bit, so that a segment needs nothing of the
 * CPU but its layout. The segment's offsets are held in regions: region r
 * holds the offsets base + stride * t for t < bits, a lane of the mod-60
 * pattern (stride 60) or a plain run (stride 1: the head before the
 * anchor, the tail after the last period, or the whole segment when no
 * pattern applies). A set bit means the candidate needs no test.
 *
 * The region table holds kRegionInts ints a region (the REGION_ indices),
 * the block table two ints a block (region, first t); the prime table four
 * uints a prime (q, p mod q, (2p)^-1 mod q, 60^-1 mod q): the plan's primes
 * first, then the deeper ones.
 *
 *   sieve_starts   each (region, block prime): the first t it marks
 *   sieve_block    one block of BLOCK_BITS bits of a region in local memory:
 *                  fresh, the head marks, bit n and the plan's primes; or
 *                  the deeper primes below BLOCK_BITS over what is there
 *   sieve_scatter  each (region, deeper prime of BLOCK_BITS or more): its
 *                  marks, straight into the region's words
 *   sieve_count    the marked offsets below n, added to counts[0]
 *   sieve_last     each (twentieth, region): the largest clear offset,
 *                  into last[twentieth] by atomic_max
 *   sieve_compact  the clear offsets below n within a window, gathered into
 *                  offsets (up to capacity; counts[1] counts them all)
 */

#define REGION_BASE 0   /* offset of t = 0 */
#define REGION_STRIDE 1 /* 1 or 60 */
#define REGION_BITS 2   /* t < bits are held */
#define REGION_WORD 3   /* first word in the bit buffer */
#define REGION_LIMIT 4  /* t < limit stand for offsets below n */
#define REGION_N 5      /* t of offset n, or -1 */
#define REGION_INTS 8

#define BLOCK_BITS 262144 /* 32 KiB of local memory */
#define BLOCK_WORDS (BLOCK_BITS / 32)
#define NO_MARK 0xffffffffu

/* The window's rule for a plan prime's first multiple (fast_mask.h). */
#define WINDOW_SIZE 66000

/* k_first mod q for k_first = k_hi 2^64 + k_lo, q below 2^31. */
static ulong k_mod(ulong k_lo, ulong k_hi, ulong q) {
  const ulong w = ((ulong)1 << 32) % q;
  const ulong w2 = w * w % q; /* 2^64 mod q */
  return ((k_hi % q) * w2 + k_lo % q) % q;
}

/* The first t >= 0 of a region whose offset is congruent to r mod q and
 * above `above` (-1: any); NO_MARK when it lies at or beyond limit. */
static uint first_t(long base, long stride, long r, long q, ulong inv_sixty, long above,
                    long limit) {
  long t;
  if (stride == 60) {
    const long diff = ((r - base) % q + q) % q;
    t = (long)((ulong)diff * inv_sixty % (ulong)q);
    const long pos = base + 60 * t;
    if (pos <= above) t += ((above - pos) / (60 * q) + 1) * q;
  } else {
    long pos = r;
    if (pos <= above) pos += ((above - pos) / q + 1) * q;
    if (pos < base) pos += (base - pos + q - 1) / q * q;
    t = pos - base;
  }
  return t < limit ? (uint)t : NO_MARK;
}

/* The plan prime's first multiple j in the segment (kept clear), or -1. */
static long plan_first(uint4 prime, ulong k_lo, ulong k_hi, long n) {
  const ulong q = prime.x;
  if (prime.y == 0) return -1; /* q divides p: every candidate is 1 mod q */
  const ulong d0 = (2 * k_mod(k_lo, k_hi, q) * prime.y + 1) % q;
  const ulong j = (q - d0) % q * prime.z % q;
  if (j >= WINDOW_SIZE || (long)j >= n - (long)q) return -1;
  return (long)j;
}

/* The deeper prime's root: the offset in [0, q) whose candidate it divides. */
static long deep_root(uint4 prime, ulong k_lo, ulong k_hi) {
  const ulong q = prime.x;
  const ulong d0 = (2 * k_mod(k_lo, k_hi, q) * prime.y + 1) % q;
  return (long)((q - d0) % q * prime.z % q);
}

/* The first mark of prime i (plan: 0 <= i < plans; deeper beyond) in a region. */
static uint prime_start(__global const uint4 *primes, uint i, uint plans, ulong k_lo, ulong k_hi,
                        long n, __global const int *region) {
  const uint4 prime = primes[i];
  const long base = region[REGION_BASE], stride = region[REGION_STRIDE];
  const long limit = region[REGION_LIMIT];
  if (i < plans) {
    const long j = plan_first(prime, k_lo, k_hi, n);
    if (j < 0) return NO_MARK;
    return first_t(base, stride, j, prime.x, prime.w, j, limit);
  }
  return first_t(base, stride, deep_root(prime, k_lo, k_hi), prime.x, prime.w, -1, limit);
}

__kernel void sieve_starts(__global const uint4 *primes, uint count, uint plans, ulong k_lo,
                           ulong k_hi, int n, __global const int *regions, uint region_count,
                           __global uint *starts) {
  const uint i = get_global_id(0);
  if (i >= count) return;
  for (uint r = 0; r < region_count; ++r) {
    starts[r * count + i] =
        prime_start(primes, i, plans, k_lo, k_hi, n, regions + r * REGION_INTS);
  }
}

/* One block: fresh (the plan's pass) or on top of the words there (the
 * deeper pass). Primes [lo, hi) of the start table (`count` a region),
 * those below by_word (below 64: several marks a word) a word at a time,
 * the others mark by mark. */
__kernel void sieve_block(__global uint *bits, __global const int *regions,
                          __global const int *blocks, __global const uint4 *primes,
                          __global const uint *starts, uint count, uint lo, uint by_word,
                          uint hi, int fresh, uint head_lo, uint head_hi) {
  __local uint w[BLOCK_WORDS];
  const int r = blocks[2 * get_group_id(0)];
  const uint t0 = (uint)blocks[2 * get_group_id(0) + 1];
  __global const int *region = regions + r * REGION_INTS;
  const long base = region[REGION_BASE], stride = region[REGION_STRIDE];
  const uint held = min((uint)BLOCK_BITS, (uint)region[REGION_BITS] - t0);
  const uint limit =
      (uint)clamp((long)region[REGION_LIMIT] - (long)t0, (long)0, (long)BLOCK_BITS);
  const uint words = (held + 31) / 32;
  __global uint *out = bits + region[REGION_WORD] + t0 / 32;
  const uint lid = get_local_id(0), size = get_local_size(0);
  for (uint i = lid; i < BLOCK_WORDS; i += size) w[i] = fresh || i >= words ? 0u : out[i];
  barrier(CLK_LOCAL_MEM_FENCE);
  if (fresh && lid == 0) {
    /* The head marks (mod 8 of offsets 0..60) and bit n. */
    for (uint t = 0; t < held && base + stride * (long)(t0 + t) <= 60; ++t) {
      const uint at = (uint)(base + stride * (long)(t0 + t));
      const uint bit = at < 32 ? (head_lo >> at) & 1u : (head_hi >> (at - 32)) & 1u;
      if (bit) w[t / 32] |= 1u << (t % 32);
    }
    const int tn = region[REGION_N];
    if (tn >= (int)t0 && tn < (int)(t0 + held)) w[(tn - t0) / 32] |= 1u << ((tn - t0) % 32);
  }
  barrier(CLK_LOCAL_MEM_FENCE);
  __global const uint *start = starts + r * count;
  /* Small primes: each work-item owns whole words, so no atomics. */
  for (uint i = lid; i < words; i += size) {
    uint m = 0;
    const uint from = 32 * i, to = min(from + 32, limit);
    for (uint k = lo; k < by_word && from < to; ++k) {
      const uint s = start[k];
      if (s == NO_MARK) continue;
      const uint q = primes[k].x;
      const long rel = (long)s - (long)t0; /* the first mark, from the block's start */
      long t = rel >= (long)from ? rel : (long)from + (long)(((rel - (long)from) % q + q) % q);
      for (; t < (long)to; t += q) m |= 1u << (t - from);
    }
    w[i] |= m;
  }
  barrier(CLK_LOCAL_MEM_FENCE);
  /* The others: a mark or more a prime, into local memory. */
  for (uint k = by_word + lid; k < hi; k += size) {
    const uint s = start[k];
    if (s == NO_MARK) continue;
    const uint q = primes[k].x;
    uint t;
    if (s >= t0) {
      t = s - t0;
    } else {
      const uint behind = t0 - s;
      t = (q - behind % q) % q;
    }
    for (; t < limit; t += q) atomic_or(&w[t / 32], 1u << (t % 32));
  }
  barrier(CLK_LOCAL_MEM_FENCE);
  for (uint i = lid; i < words; i += size) out[i] = w[i];
}

/* The deeper primes [lo, hi) of BLOCK_BITS or more, each (region, prime) a
 * work-item: few marks each, into global memory. */
__kernel void sieve_scatter(__global uint *bits, __global const int *regions, uint region_count,
                            __global const uint4 *primes, uint plans, uint lo, uint hi,
                            ulong k_lo, ulong k_hi, int n) {
  const uint g = get_global_id(0);
  const uint primes_here = hi - lo;
  if (g >= primes_here * region_count) return;
  const uint r = g / primes_here, k = lo + g % primes_here;
  __global const int *region = regions + r * REGION_INTS;
  const uint limit = (uint)max(region[REGION_LIMIT], 0);
  uint t = prime_start(primes, k, plans, k_lo, k_hi, n, region);
  if (t == NO_MARK) return;
  const uint q = primes[k].x;
  __global uint *words = bits + region[REGION_WORD];
  for (; t < limit; t += q) atomic_or(&words[t / 32], 1u << (t % 32));
}

/* The set bits of a region's words below limit, block by block: counts[0]. */
__kernel void sieve_count(__global const uint *bits, __global const int *regions,
                          __global const int *blocks, __global uint *counts) {
  __local uint sum[256];
  const int r = blocks[2 * get_group_id(0)];
  const uint t0 = (uint)blocks[2 * get_group_id(0) + 1];
  __global const int *region = regions + r * REGION_INTS;
  const uint limit =
      (uint)clamp((long)region[REGION_LIMIT] - (long)t0, (long)0, (long)BLOCK_BITS);
  __global const uint *words = bits + region[REGION_WORD] + t0 / 32;
  const uint lid = get_local_id(0), size = get_local_size(0);
  uint c = 0;
  for (uint i = lid; i * 32 < limit; i += size) {
    uint v = words[i];
    if (32 * i + 32 > limit) v &= (1u << (limit - 32 * i)) - 1u;
    c += popcount(v);
  }
  sum[lid] = c;
  barrier(CLK_LOCAL_MEM_FENCE);
  for (uint span = size / 2; span > 0; span /= 2) {
    if (lid < span) sum[lid] += sum[lid + span];
    barrier(CLK_LOCAL_MEM_FENCE);
  }
  if (lid == 0 && sum[0] != 0) atomic_add(&counts[0], sum[0]);
}

/* The largest clear offset of each twentieth [chunks[2c], chunks[2c + 1]),
 * region by region, into last[c] (which starts at -1). */
__kernel void sieve_last(__global const uint *bits, __global const int *regions,
                         uint region_count, __global const int *chunks, uint chunk_count,
                         __global int *last) {
  const uint g = get_global_id(0);
  if (g >= chunk_count * region_count) return;
  const uint c = g / region_count, r = g % region_count;
  __global const int *region = regions + r * REGION_INTS;
  const long base = region[REGION_BASE], stride = region[REGION_STRIDE];
  const long lo = chunks[2 * c], hi = chunks[2 * c + 1];
  long t_lo = lo <= base ? 0 : (lo - base + stride - 1) / stride;
  long t_hi = hi <= base ? 0 : (hi - base + stride - 1) / stride;
  t_hi = min(t_hi, (long)region[REGION_LIMIT]);
  if (t_lo >= t_hi) return;
  __global const uint *words = bits + region[REGION_WORD];
  for (long wi = (t_hi - 1) / 32; wi >= t_lo / 32; --wi) {
    uint free = ~words[wi];
    if (wi == (t_hi - 1) / 32 && t_hi % 32 != 0) free &= (1u << (t_hi % 32)) - 1u;
    if (wi == t_lo / 32) free &= ~0u << (t_lo % 32);
    if (free != 0) {
      const long t = 32 * wi + 31 - (long)clz(free);
      atomic_max(&last[c], (int)(base + stride * t));
      return;
    }
  }
}

/* The clear offsets below n in [window_lo, window_hi), block by block: a
 * work-group counts its own, takes its place with one atomic_add on
 * counts[1], and writes them there (those below capacity). */
__kernel void sieve_compact(__global const uint *bits, __global const int *regions,
                            __global const int *blocks, int window_lo, int window_hi,
                            __global uint *counts, __global uint *offsets, uint capacity) {
  __local uint scan[256];
  __local uint group_start;
  const int r = blocks[2 * get_group_id(0)];
  const uint t0 = (uint)blocks[2 * get_group_id(0) + 1];
  __global const int *region = regions + r * REGION_INTS;
  const long base = region[REGION_BASE], stride = region[REGION_STRIDE];
  /* t of the block within [t_lo, t_hi): below limit and inside the window */
  long t_lo = window_lo <= base ? 0 : (window_lo - base + stride - 1) / stride;
  long t_hi = window_hi <= base ? 0 : (window_hi - base + stride - 1) / stride;
  t_hi = min(t_hi, (long)region[REGION_LIMIT]);
  t_lo = max(t_lo, (long)t0) - t0;
  t_hi = min(t_hi, (long)t0 + BLOCK_BITS) - t0;
  const uint lid = get_local_id(0), size = get_local_size(0);
  __global const uint *words = bits + region[REGION_WORD] + t0 / 32;
  /* Each work-item takes a run of whole words. */
  const uint per = (BLOCK_WORDS + size - 1) / size;
  const long w_from = (long)lid * per, w_to = w_from + per;
  uint mine = 0;
  for (long wi = w_from; wi < w_to && 32 * wi < t_hi; ++wi) {
    if (32 * wi + 32 <= t_lo) continue;
    uint free = ~words[wi];
    if (32 * wi < t_lo) free &= ~0u << (t_lo - 32 * wi);
    if (32 * wi + 32 > t_hi) free &= (1u << (t_hi - 32 * wi)) - 1u;
    mine += popcount(free);
  }
  scan[lid] = mine;
  barrier(CLK_LOCAL_MEM_FENCE);
  /* An inclusive scan of the work-items' counts. */
  for (uint d = 1; d < size; d *= 2) {
    const uint add = lid >= d ? scan[lid - d] : 0u;
    barrier(CLK_LOCAL_MEM_FENCE);
    scan[lid] += add;
    barrier(CLK_LOCAL_MEM_FENCE);
  }
  if (lid == size - 1) group_start = scan[lid] != 0 ? atomic_add(&counts[1], scan[lid]) : 0u;
  barrier(CLK_LOCAL_MEM_FENCE);
  uint at = group_start + scan[lid] - mine;
  for (long wi = w_from; wi < w_to && 32 * wi < t_hi && at < capacity; ++wi) {
    if (32 * wi + 32 <= t_lo) continue;
    uint free = ~words[wi];
    if (32 * wi < t_lo) free &= ~0u << (t_lo - 32 * wi);
    if (32 * wi + 32 > t_hi) free &= (1u << (t_hi - 32 * wi)) - 1u;
    for (; free != 0 && at < capacity; free &= free - 1, ++at) {
      const long t = t0 + 32 * wi + (long)(31 - clz(free & (0u - free)));
      offsets[at] = (uint)(base + stride * t);
    }
  }
}
