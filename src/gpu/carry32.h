/* SPDX-License-Identifier: MIT */
/* Carry chains for the arithmetic of mont32.h on 32-bit words: PTX's
 * add.cc / addc / mad.lo.cc / madc.hi.cc and their kin, one macro each, so
 * that the same text of mont32.h builds for an NVIDIA device and, with the
 * carry flag emulated, anywhere else (the tests hold that build to GMP).
 *
 * With MONT32_PTX defined (the kernels built for an NVIDIA platform) each
 * macro is one inline PTX instruction, and the flag is the device's own
 * (CC.CF); the chains of mont32.h keep every instruction that reads the
 * flag right after the one that sets it, with nothing between them that
 * writes it, and inline assembly marked volatile keeps its order. Without
 * it the flag is the local variable mont32_cf (0 or 1), which
 * MONT32_CARRY_FLAG declares at the top of each function that chains, and
 * each macro is the same operation in C. The includer defines mont32_u32
 * and mont32_u64 first.
 *
 *   ADD_CC(r, a, b)       r = a + b,                  flag = its carry
 *   ADDC_CC(r, a, b)      r = a + b + flag,           flag = its carry
 *   ADDC(r, a, b)         r = a + b + flag            (flag kept)
 *   SUB_CC(r, a, b)       r = a - b,                  flag = its borrow
 *   SUBC_CC(r, a, b)      r = a - b - flag,           flag = its borrow
 *   SUBC(r, a, b)         r = a - b - flag            (flag kept)
 *   MADLO_CC(r, a, b, c)  r = lo(a b) + c,            flag = its carry
 *   MADCLO_CC(r, a, b, c) r = lo(a b) + c + flag,     flag = its carry
 *   MADCLO(r, a, b, c)    r = lo(a b) + c + flag      (flag kept)
 *   MADHI_CC(r, a, b, c)  r = hi(a b) + c,            flag = its carry
 *   MADCHI_CC(r, a, b, c) r = hi(a b) + c + flag,     flag = its carry
 *   MADCHI(r, a, b, c)    r = hi(a b) + c + flag      (flag kept)
 *
 * all modulo 2^32, lo and hi the halves of the 64-bit product; the names
 * carry a MONT32_ prefix.
 */

#ifdef MONT32_PTX

#define MONT32_CARRY_FLAG
#define MONT32_PTX3(op, r, a, b) \
  asm volatile(op " %0, %1, %2;" : "=r"(r) : "r"((mont32_u32)(a)), "r"((mont32_u32)(b)))
#define MONT32_PTX4(op, r, a, b, c)                                                    \
  asm volatile(op " %0, %1, %2, %3;"                                                   \
               : "=r"(r)                                                               \
               : "r"((mont32_u32)(a)), "r"((mont32_u32)(b)), "r"((mont32_u32)(c)))
#define MONT32_ADD_CC(r, a, b) MONT32_PTX3("add.cc.u32", r, a, b)
#define MONT32_ADDC_CC(r, a, b) MONT32_PTX3("addc.cc.u32", r, a, b)
#define MONT32_ADDC(r, a, b) MONT32_PTX3("addc.u32", r, a, b)
#define MONT32_SUB_CC(r, a, b) MONT32_PTX3("sub.cc.u32", r, a, b)
#define MONT32_SUBC_CC(r, a, b) MONT32_PTX3("subc.cc.u32", r, a, b)
#define MONT32_SUBC(r, a, b) MONT32_PTX3("subc.u32", r, a, b)
#define MONT32_MADLO_CC(r, a, b, c) MONT32_PTX4("mad.lo.cc.u32", r, a, b, c)
#define MONT32_MADCLO_CC(r, a, b, c) MONT32_PTX4("madc.lo.cc.u32", r, a, b, c)
#define MONT32_MADCLO(r, a, b, c) MONT32_PTX4("madc.lo.u32", r, a, b, c)
#define MONT32_MADHI_CC(r, a, b, c) MONT32_PTX4("mad.hi.cc.u32", r, a, b, c)
#define MONT32_MADCHI_CC(r, a, b, c) MONT32_PTX4("madc.hi.cc.u32", r, a, b, c)
#define MONT32_MADCHI(r, a, b, c) MONT32_PTX4("madc.hi.u32", r, a, b, c)

#else

#define MONT32_CARRY_FLAG \
  mont32_u32 mont32_cf = 0u; \
  (void)mont32_cf
/* s: the 64-bit sum; r and the flag from it (r may be an operand too). */
#define MONT32_SET(r, s, flag)          \
  do {                                  \
    const mont32_u64 mont32_s_ = (s);   \
    (r) = (mont32_u32)mont32_s_;        \
    if (flag) mont32_cf = (mont32_u32)(mont32_s_ >> 32) & 1u; \
  } while (0)
#define MONT32_LO(a, b) ((mont32_u64)(mont32_u32)((mont32_u32)(a) * (mont32_u32)(b)))
#define MONT32_HI(a, b) (((mont32_u64)(mont32_u32)(a) * (mont32_u32)(b)) >> 32)
#define MONT32_W(a) ((mont32_u64)(mont32_u32)(a))
#define MONT32_ADD_CC(r, a, b) MONT32_SET(r, MONT32_W(a) + MONT32_W(b), 1)
#define MONT32_ADDC_CC(r, a, b) MONT32_SET(r, MONT32_W(a) + MONT32_W(b) + mont32_cf, 1)
#define MONT32_ADDC(r, a, b) MONT32_SET(r, MONT32_W(a) + MONT32_W(b) + mont32_cf, 0)
#define MONT32_SUB_CC(r, a, b) MONT32_SET(r, MONT32_W(a) - MONT32_W(b), 1)
#define MONT32_SUBC_CC(r, a, b) MONT32_SET(r, MONT32_W(a) - MONT32_W(b) - mont32_cf, 1)
#define MONT32_SUBC(r, a, b) MONT32_SET(r, MONT32_W(a) - MONT32_W(b) - mont32_cf, 0)
#define MONT32_MADLO_CC(r, a, b, c) MONT32_SET(r, MONT32_LO(a, b) + MONT32_W(c), 1)
#define MONT32_MADCLO_CC(r, a, b, c) MONT32_SET(r, MONT32_LO(a, b) + MONT32_W(c) + mont32_cf, 1)
#define MONT32_MADCLO(r, a, b, c) MONT32_SET(r, MONT32_LO(a, b) + MONT32_W(c) + mont32_cf, 0)
#define MONT32_MADHI_CC(r, a, b, c) MONT32_SET(r, MONT32_HI(a, b) + MONT32_W(c), 1)
#define MONT32_MADCHI_CC(r, a, b, c) MONT32_SET(r, MONT32_HI(a, b) + MONT32_W(c) + mont32_cf, 1)
#define MONT32_MADCHI(r, a, b, c) MONT32_SET(r, MONT32_HI(a, b) + MONT32_W(c) + mont32_cf, 0)

#endif
