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
 *   sieve_starts   each block prime, for each region: the first t it marks
 *   sieve_block    one block of BLOCK_BITS bits of a region in local memory:
 *                  fresh, the head marks, bit n and the plan's primes; or
 *                  the deeper primes below BLOCK_BITS over what is there
 *   sieve_scatter  each deeper prime of BLOCK_BITS or more, for each region:
 *                  its marks, straight into the region's words
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

/* The primes from 7 to 61: the most the plan marks by words. */
#define PATTERN_PRIMES 15

/* x mod q for a 32-bit x and an odd q below 2^23, with v = floor((2^32 -
 * 1) / q) = floor(2^32 / q): the estimate mul_hi(x, v) of the quotient is
 * the quotient or one less (x v / 2^32 > x / q - 1), so one subtraction. */
static uint mod_q(uint x, uint q, uint v) {
  const uint r = x - mul_hi(x, v) * q;
  return r >= q ? r - q : r;
}

/* a b mod q for a, b < q, with c = 2^32 mod q: a b below 2^46, its high
 * word (below 2^14) times c below 2^37, whose high word (below 32) times c
 * below 32 q; the three parts together below 34 q < 2^29. */
static uint mulmod_q(uint a, uint b, uint q, uint v, uint c) {
  const ulong ab = (ulong)a * b;
  const ulong hc = (ab >> 32) * (ulong)c;
  return mod_q(mod_q((uint)ab, q, v) + mod_q((uint)hc, q, v) + (uint)(hc >> 32) * c, q, v);
}

/* (a + b) mod q for a, b < q. */
static uint addmod_q(uint a, uint b, uint q) {
  const uint r = a + b;
  return r >= q ? r - q : r;
}

/* The prime's root: the offset in [0, q) whose candidate it divides, from
 * k_first = k_hi 2^64 + k_lo: d0 = 2 (k_first mod q) (p mod q) + 1 is the
 * first candidate mod q, and the root (q - d0) (2p)^-1 mod q. */
static uint prime_root(uint4 prime, ulong k_lo, ulong k_hi, uint v, uint c) {
  const uint q = prime.x;
  uint k = mod_q((uint)(k_hi >> 32), q, v);
  k = addmod_q(mulmod_q(k, c, q, v, c), mod_q((uint)k_hi, q, v), q);
  k = addmod_q(mulmod_q(k, c, q, v, c), mod_q((uint)(k_lo >> 32), q, v), q);
  k = addmod_q(mulmod_q(k, c, q, v, c), mod_q((uint)k_lo, q, v), q);
  const uint kp = mulmod_q(k, prime.y, q, v, c);
  const uint d0 = addmod_q(addmod_q(kp, kp, q), 1u % q, q);
  return mulmod_q(d0 == 0u ? 0u : q - d0, prime.z, q, v, c);
}

/* The first t of a region whose offset is congruent to root mod q, past
 * the root itself for a plan prime (its first multiple, kept clear: the
 * window's rule of fast_mask.h); NO_MARK when at or beyond the region's
 * limit. */
static uint region_first(uint root, int plan, uint4 prime, uint v, uint c,
                         __global const int *region) {
  const uint q = prime.x;
  const uint base = (uint)region[REGION_BASE], stride = (uint)region[REGION_STRIDE];
  const uint limit = (uint)max(region[REGION_LIMIT], 0);
  const uint bm = mod_q(base, q, v);
  uint t = root >= bm ? root - bm : root + q - bm; /* (root - base) mod q */
  if (stride == 60u) t = mulmod_q(t, prime.w, q, v, c);
  if (plan && base + stride * t <= root) t += q;
  return t < limit ? t : NO_MARK;
}

/* 2^32 mod q, with q's v for mod_q. */
static uint two32_mod_q(uint q, uint v) {
  const uint c = mod_q(0xffffffffu, q, v) + 1u;
  return c == q ? 0u : c;
}

/* Whether a plan prime marks nothing: it divides p (every candidate is 1
 * mod q), or its first multiple lies outside the window or too close to
 * the segment's end (fast_mask.h). */
static int plan_silent(uint4 prime, uint root, int n) {
  return prime.y == 0u || root >= WINDOW_SIZE || (long)root >= (long)n - (long)prime.x;
}

__kernel void sieve_starts(__global const uint4 *primes, uint count, uint plans, ulong k_lo,
                           ulong k_hi, int n, __global const int *regions, uint region_count,
                           __global uint *starts) {
  const uint i = get_global_id(0);
  if (i >= count) return;
  const uint4 prime = primes[i];
  const uint v = 0xffffffffu / prime.x, c = two32_mod_q(prime.x, v);
  const uint root = prime_root(prime, k_lo, k_hi, v, c);
  const int plan = i < plans;
  const int silent = plan && plan_silent(prime, root, n);
  for (uint r = 0; r < region_count; ++r) {
    starts[r * count + i] =
        silent ? NO_MARK : region_first(root, plan, prime, v, c, regions + r * REGION_INTS);
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
  if (lo < by_word) {
    /* Small primes (below 64): each work-item owns whole words (lid, lid +
     * size, ...), so no atomics. A prime's marks in a word are its pattern
     * (bits 0, q, 2q, ...) shifted by its phase, the place of its next mark
     * from the word's start; from one of the item's words to its next, 32
     * size bits on, the phase falls by (32 size) mod q. Before its first
     * mark in the region (t below 2q: fast_mask.h's window leaves the first
     * multiple itself clear) the phase is that mark's place, up to 2q, and
     * the word no mark of it. */
    uint pattern[PATTERN_PRIMES], phase[PATTERN_PRIMES], fall[PATTERN_PRIMES], qs[PATTERN_PRIMES];
    _Pragma("unroll")
    for (uint j = 0; j < PATTERN_PRIMES; ++j) {
      const uint k = lo + j;
      const uint s = k < by_word ? start[k] : NO_MARK;
      const uint q = k < by_word ? primes[k].x : 64u;
      const int ahead = s == NO_MARK ? 0 : (int)(s - t0) - (int)(32 * lid);
      const int ph = ahead % (int)q;
      qs[j] = q;
      phase[j] = (uint)(ahead >= 0 ? ahead : ph < 0 ? ph + (int)q : ph);
      fall[j] = (32u * size) % q;
      uint m = 1u;
      _Pragma("unroll")
      for (uint e = 1; e < 5; ++e) m |= e * q < 32u ? 1u << (e * q) : 0u;
      pattern[j] = s == NO_MARK ? 0u : m;
    }
    for (uint i = lid; i < words; i += size) {
      const uint from = 32 * i;
      uint m = 0;
      _Pragma("unroll")
      for (uint j = 0; j < PATTERN_PRIMES; ++j) {
        m |= phase[j] < 32u ? pattern[j] << phase[j] : 0u;
        const uint ph = phase[j] >= qs[j] ? phase[j] - qs[j] : phase[j];
        phase[j] = ph >= fall[j] ? ph - fall[j] : ph + qs[j] - fall[j];
      }
      if (limit < from + 32) m &= limit > from ? (1u << (limit - from)) - 1u : 0u;
      w[i] |= m;
    }
  }
  barrier(CLK_LOCAL_MEM_FENCE);
  /* The others: a mark or more a prime, into local memory. */
  for (uint k = by_word + lid; k < hi; k += size) {
    const uint s = start[k];
    if (s == NO_MARK) continue;
    const uint q = primes[k].x;
    uint t = s - t0;
    if (s < t0) {
      const uint behind = (t0 - s) % q;
      t = behind == 0u ? 0u : q - behind;
    }
    for (; t < limit; t += q) atomic_or(&w[t / 32], 1u << (t % 32));
  }
  barrier(CLK_LOCAL_MEM_FENCE);
  for (uint i = lid; i < words; i += size) out[i] = w[i];
}

/* The deeper primes [lo, hi) of BLOCK_BITS or more: few marks each, into
 * global memory. The host launches a work-item per (region, prime); the
 * first of each prime's do all its regions, so that its root is worked out
 * once, and the others have nothing to do. */
__kernel void sieve_scatter(__global uint *bits, __global const int *regions, uint region_count,
                            __global const uint4 *primes, uint plans, uint lo, uint hi,
                            ulong k_lo, ulong k_hi, int n) {
  const uint g = get_global_id(0);
  if (g >= hi - lo) return;
  const uint k = lo + g;
  const uint4 prime = primes[k];
  const uint q = prime.x;
  const uint v = 0xffffffffu / q, c = two32_mod_q(q, v);
  const uint root = prime_root(prime, k_lo, k_hi, v, c);
  const int plan = k < plans;
  if (plan && plan_silent(prime, root, n)) return;
  for (uint r = 0; r < region_count; ++r) {
    __global const int *region = regions + r * REGION_INTS;
    const uint limit = (uint)max(region[REGION_LIMIT], 0);
    __global uint *words = bits + region[REGION_WORD];
    for (uint t = region_first(root, plan, prime, v, c, region); t < limit; t += q) {
      atomic_or(&words[t / 32], 1u << (t % 32));
    }
  }
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
  /* Offsets and t stay below 2^31 (n < 2^31): int arithmetic throughout. */
  const int base = region[REGION_BASE], stride = region[REGION_STRIDE];
  /* t of the block within [t_lo, t_hi): below limit and inside the window */
  int t_lo = window_lo <= base ? 0 : (window_lo - base + stride - 1) / stride;
  int t_hi = window_hi <= base ? 0 : (window_hi - base + stride - 1) / stride;
  t_hi = min(t_hi, region[REGION_LIMIT]);
  t_lo = max(t_lo, (int)t0) - (int)t0;
  t_hi = min(t_hi, (int)t0 + BLOCK_BITS) - (int)t0;
  const uint lid = get_local_id(0), size = get_local_size(0);
  __global const uint *words = bits + region[REGION_WORD] + t0 / 32;
  /* Each work-item takes a run of whole words. */
  const int per = (BLOCK_WORDS + (int)size - 1) / (int)size;
  const int w_from = (int)lid * per, w_to = w_from + per;
  uint mine = 0;
  for (int wi = w_from; wi < w_to && 32 * wi < t_hi; ++wi) {
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
  for (int wi = w_from; wi < w_to && 32 * wi < t_hi && at < capacity; ++wi) {
    if (32 * wi + 32 <= t_lo) continue;
    uint free = ~words[wi];
    if (32 * wi < t_lo) free &= ~0u << (t_lo - 32 * wi);
    if (32 * wi + 32 > t_hi) free &= (1u << (t_hi - 32 * wi)) - 1u;
    for (; free != 0 && at < capacity; free &= free - 1, ++at) {
      const int t = (int)t0 + 32 * wi + (int)(31 - clz(free & (0u - free)));
      offsets[at] = (uint)(base + stride * t);
    }
  }
}
