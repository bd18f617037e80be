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

/* Fused multiply-adds rounded once, as the instruction rounds them: this
 * SIMDe computes them without fusing (a product and a sum, each rounded)
 * where the target has no fused multiply-add of its own, which would make
 * the portable build round as no FMA kernel does. Each element goes
 * through fmaf, which rounds once on every target. A kernel that uses
 * another fused form needs it here too. */
#include <math.h>

#define MATMUL_PORTABLE_FMADD(name, type, store, load, lanes)                                                        \
    static inline type name(type a, type b, type c)                                                                  \
    {                                                                                                                \
        float x[lanes], y[lanes], z[lanes];                                                                          \
        store(x, a);                                                                                                 \
        store(y, b);                                                                                                 \
        store(z, c);                                                                                                 \
        for (int i = 0; i < (lanes); ++i) {                                                                          \
            x[i] = fmaf(x[i], y[i], z[i]);                                                                           \
        }                                                                                                            \
        return load(x);                                                                                              \
    }
MATMUL_PORTABLE_FMADD(matmul_portable_fmadd_ps, simde__m128, simde_mm_storeu_ps, simde_mm_loadu_ps, 4)
MATMUL_PORTABLE_FMADD(matmul_portable_fmadd256_ps, simde__m256, simde_mm256_storeu_ps, simde_mm256_loadu_ps, 8)
MATMUL_PORTABLE_FMADD(matmul_portable_fmadd512_ps, simde__m512, simde_mm512_storeu_ps, simde_mm512_loadu_ps, 16)
#undef MATMUL_PORTABLE_FMADD
#undef _mm_fmadd_ps
#undef _mm256_fmadd_ps
#undef _mm512_fmadd_ps
#define _mm_fmadd_ps(a, b, c) matmul_portable_fmadd_ps((a), (b), (c))
#define _mm256_fmadd_ps(a, b, c) matmul_portable_fmadd256_ps((a), (b), (c))
#define _mm512_fmadd_ps(a, b, c) matmul_portable_fmadd512_ps((a), (b), (c))

#endif /* MATMUL_PORTABLE_IMMINTRIN_H */
