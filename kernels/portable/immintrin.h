/*
 * The x86 intrinsics header as a kernel's portable build sees it: the same
 * names (_mm512_mul_ps, __m512 ...) taken from SIMDe's implementation in
 * plain C, so that a kernel source written for AVX-512 compiles unchanged
 * for the baseline instruction set of any processor, x86 or not. This
 * folder comes first on the portable build's include path, ahead of the
 * compiler's own header of this name.
 *
 * SIMDE_NO_NATIVE keeps SIMDe off every native intrinsic, even those the
 * target has: the code is the same portable code on every host, and SIMDe
 * never includes the compiler's intrinsics headers, whose <immintrin.h>
 * would be this file again.
 */
#ifndef MATMUL_PORTABLE_IMMINTRIN_H
#define MATMUL_PORTABLE_IMMINTRIN_H

#define SIMDE_NO_NATIVE
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

/* Intrinsics the kernels use that the SIMDe they are built against may
 * lack, each written with ones it has. A SIMDe that has one defines its
 * name as a macro, and its own is used. */
#ifndef _mm512_permute_ps
/* vpermilps with an immediate: within each 128-bit lane, element j of the
 * result is element (imm8 >> 2j) & 3 of the same lane of a, which is what
 * vshufps of a with itself gives. */
#define _mm512_permute_ps(a, imm8) simde_mm512_shuffle_ps((a), (a), (imm8))
#endif

#endif /* MATMUL_PORTABLE_IMMINTRIN_H */
