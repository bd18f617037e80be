/* A kernel built out of the tree against the installed package. The helper
 * has external linkage on purpose: the library must still export only the
 * kernel. */
#include "matmul_kernel.h"

KERNEL_LIBRARY_ENTRY

float row_times_column(const Matrix4 *a, const Matrix4 *b, int i, int j)
{
    return a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j]
         + a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j];
}

/* result = a x b, one float sum per element. */
KERNEL_DEFINE(my_kernel)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            result->m[i][j] = row_times_column(a, b, i, j);
    return 0;
}
