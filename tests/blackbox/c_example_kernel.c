/* The README's example: a kernel library written in plain C. */
#include "matmul_kernel.h"

KERNEL_LIBRARY_ENTRY

/* result = a x b, one float sum per element. */
KERNEL_DEFINE(my_kernel)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            result->m[i][j] = a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j]
                            + a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j];
    return 0;
}
