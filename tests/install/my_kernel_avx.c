/* A kernel that uses AVX and FMA intrinsics and is registered by those
 * features alone: the package must build its library with their flags. */
#include <immintrin.h>

#include "matmul_kernel.h"

KERNEL_LIBRARY_ENTRY

/* result = a x b, each row of the result a fused sum of b's rows. */
KERNEL_DEFINE(my_kernel_avx)
{
    for (int i = 0; i < 4; ++i) {
        __m128 row = _mm_mul_ps(_mm_broadcast_ss(&a->m[i][0]), _mm_loadu_ps(b->m[0]));
        for (int k = 1; k < 4; ++k)
            row = _mm_fmadd_ps(_mm_broadcast_ss(&a->m[i][k]), _mm_loadu_ps(b->m[k]), row);
        _mm_storeu_ps(result->m[i], row);
    }
    return 0;
}
