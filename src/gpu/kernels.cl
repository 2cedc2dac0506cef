/* SPDX-License-Identifier: MIT */
/* The OpenCL kernels: 2^p mod d on three limbs (d < 2^92) and on four
 * (d < 2^124), with the arithmetic of mont32.h. The program carries this
 * text, with carry32.h, mont32.h and sieve.cl pasted in where they are
 * included, and builds it at run time for the device it finds.
 *
 *   search3, search4  the search's test: candidate i is base + step *
 *                     offsets[i]; the offset of each candidate that divides
 *                     2^p - 1 goes to found[1 + slot], slot counted in
 *                     found[0] (slots beyond capacity are only counted, so
 *                     that the host sees the overflow); likewise each
 *                     candidate whose residue has the bits of flag_mask
 *                     zero, to flags
 *   search_list3, 4   the same over a segment sieved on the device
 *                     (sieve.cl), its survivors' count on the device
 *   residue3,         residues[i] = 2^p mod d[i], for any odd d[i] >= 3
 *   residue4          below the width's bound (the tests hold them to GMP)
 *
 * The segment's sieve is in sieve.cl, pasted in below as well.
 *
 * The exponent comes split, p = lead 2^rest + (its low rest bits), as the
 * host chooses it for the candidates' size; the search kernels turn its
 * low bits into mont32.h's exponent words once per work-item.
 */

typedef uint mont32_u32;
typedef ulong mont32_u64;
#define MONT32_FN static inline
#define MONT32_UNROLL _Pragma("unroll")
#define MONT32_ROLLED _Pragma("unroll 1")
#define mont32_pow2f(x) as_float((uint)((x) + 127) << 23)
#define mont32_ilogbf(x) ((int)(as_uint(x) >> 23) - 127)

/* On an NVIDIA platform the host defines TAMRISK_NVIDIA_PTX: the squaring,
 * leaving the form and the start's products run on PTX carry chains
 * (inline assembly, which NVIDIA's compiler takes). Every other device,
 * PoCL included, builds the plain C. */
#ifdef TAMRISK_NVIDIA_PTX
#define MONT32_CHAINS
#define MONT32_PTX
#endif
#include "carry32.h"

#define MONT32_N 3
#include "mont32.h"
#undef MONT32_N
#define MONT32_N 4
#include "mont32.h"
#undef MONT32_N

/* The residues a test build makes wrong (the host defines
 * TAMRISK_PLANTED_RESIDUE=N only there): those of the candidates whose d
 * hashes to a multiple of N, made 0 (TAMRISK_PLANTED_ZERO) or a value of
 * their own; and TAMRISK_PLANTED_NO_FLAGS, a device that flags none. */
#ifdef TAMRISK_PLANTED_RESIDUE
static ulong planted_hash(const mont32_u32 *d) {
  ulong h = ((ulong)d[1] << 32 | d[0]) ^ d[2];
  h = (h ^ (h >> 31)) * 0x9e3779b97f4a7c15UL;
  return h ^ (h >> 29);
}
#endif

/* Tests the candidate of one offset, the exponent's bits in w (as
 * mont32.h's exponent_words gives them): a divisor's offset goes to found,
 * that of a residue whose bits under flag_mask are all zero (the residue
 * witnesses' flag; flag_mask 0: none) to flags, each list after its count. */
#define TF_TEST(N)                                                                      \
  static void test##N(uint offset, const mont32_u32 *w, uint lead, const mont32_u32 *base, \
                      const mont32_u32 *step, __global uint *found, uint capacity,     \
                      uint flag_mask, __global uint *flags, uint flag_capacity) {       \
    mont32_u32 d[N], r[N];                                                              \
    mont##N##_candidate(d, base, step, offset);                                         \
    mont##N##_powm2_words(r, d, lead, w[0], w[1], w[2]);                                \
    TF_PLANT(N)                                                                         \
    if (mont##N##_is_one(r)) {                                                          \
      const uint slot = atomic_inc(&found[0]);                                          \
      if (slot < capacity) found[1 + slot] = offset;                                    \
    }                                                                                   \
    if (flag_mask != 0u && (r[0] & flag_mask) == 0u TF_FLAGS_PLANTED) {                 \
      const uint slot = atomic_inc(&flags[0]);                                          \
      if (slot < flag_capacity) flags[1 + slot] = offset;                               \
    }                                                                                   \
  }

#ifdef TAMRISK_PLANTED_RESIDUE
#ifdef TAMRISK_PLANTED_ZERO
#define TF_PLANTED_VALUE(j, h) 0u
#else
#define TF_PLANTED_VALUE(j, h) (mont32_u32)((h) >> (8 * (j)))
#endif
#define TF_PLANT(N)                                                                     \
  {                                                                                     \
    const ulong h = planted_hash(d);                                                    \
    if (h % TAMRISK_PLANTED_RESIDUE == 0UL) {                                           \
      for (int j = 0; j < N; ++j) r[j] = j + 1 < N ? TF_PLANTED_VALUE(j, h) : 0u;       \
    }                                                                                   \
  }
#else
#define TF_PLANT(N)
#endif
#ifdef TAMRISK_PLANTED_NO_FLAGS
#define TF_FLAGS_PLANTED && false
#else
#define TF_FLAGS_PLANTED
#endif

/* The search's batch: count offsets, a work-item each. */
#define TF_SEARCH(N)                                                                    \
  __kernel void search##N(__global const uint *offsets, uint count, ulong p, uint lead, \
                          uint rest, uint base0, uint base1, uint base2, uint base3,    \
                          uint step0, uint step1, uint step2, __global uint *found,     \
                          uint capacity, uint flag_mask, __global uint *flags,          \
                          uint flag_capacity) {                                         \
    const uint i = get_global_id(0);                                                    \
    if (i >= count) return;                                                             \
    const mont32_u32 base[4] = {base0, base1, base2, base3};                            \
    const mont32_u32 step[4] = {step0, step1, step2, 0u};                               \
    mont32_u32 w[3];                                                                    \
    mont##N##_exponent_words(w, p, rest);                                               \
    test##N(offsets[i], w, lead, base, step, found, capacity, flag_mask, flags,         \
            flag_capacity);                                                             \
  }

/* A sieved segment's survivors (sieve_compact): as many as counts[1] says,
 * at most limit, whatever the number of work-items. */
#define TF_SEARCH_LIST(N)                                                               \
  __kernel void search_list##N(__global const uint *offsets, __global const uint *counts, \
                               uint limit, ulong p, uint lead, uint rest, uint base0,   \
                               uint base1, uint base2, uint base3, uint step0,          \
                               uint step1, uint step2, __global uint *found,            \
                               uint capacity, uint flag_mask, __global uint *flags,     \
                               uint flag_capacity) {                                    \
    const uint n = min(counts[1], limit);                                               \
    const mont32_u32 base[4] = {base0, base1, base2, base3};                            \
    const mont32_u32 step[4] = {step0, step1, step2, 0u};                               \
    mont32_u32 w[3];                                                                    \
    mont##N##_exponent_words(w, p, rest);                                               \
    for (uint i = get_global_id(0); i < n; i += get_global_size(0)) {                   \
      test##N(offsets[i], w, lead, base, step, found, capacity, flag_mask, flags,       \
              flag_capacity);                                                           \
    }                                                                                   \
  }

#define TF_RESIDUE(N)                                                                   \
  __kernel void residue##N(__global const uint *divisors, uint count, ulong p, uint lead, \
                           uint rest, __global uint *residues) {                        \
    const uint i = get_global_id(0);                                                    \
    if (i >= count) return;                                                             \
    mont32_u32 d[N], r[N];                                                              \
    for (int j = 0; j < N; ++j) d[j] = divisors[i * N + j];                             \
    mont##N##_powm2(r, d, p, lead, rest);                                               \
    for (int j = 0; j < N; ++j) residues[i * N + j] = r[j];                             \
  }

TF_TEST(3)
TF_TEST(4)
TF_SEARCH(3)
TF_SEARCH(4)
TF_SEARCH_LIST(3)
TF_SEARCH_LIST(4)
TF_RESIDUE(3)
TF_RESIDUE(4)

#include "sieve.cl"
