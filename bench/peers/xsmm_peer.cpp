// A bench peer: libxsmm's generated 4x4 single-precision product, behind the
// kernel entry contract. Built only when libxsmm is installed (x86-64
// Linux).
//
// libxsmm stores matrices by column and computes C = A x B for column-major
// A, B and C. Row-major a and b read by column are their transposes, and
// b' x a' = (a x b)', so handing it b as A and a as B leaves a x b in the
// result, row-major.
//
// The kernel is generated once, when the library is loaded, so that a call
// costs only the generated code. Where libxsmm cannot generate it, the peer
// fills the result with NaN on every call: a visibly wrong result rather
// than a silent fallback to other code.
#include "matmul_kernel.h"

#include <libxsmm.h>

#include <limits>

namespace {

libxsmm_smmfunction Generate()
{
    const libxsmm_blasint n = 4;
    const float alpha = 1.0f;
    const float beta = 0.0f;
    const int flags = LIBXSMM_GEMM_FLAG_NONE;
    const int prefetch = LIBXSMM_GEMM_PREFETCH_NONE;
    return libxsmm_smmdispatch(n, n, n, &n, &n, &n, &alpha, &beta, &flags, &prefetch);
}

const libxsmm_smmfunction g_product = Generate();

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(XSMM_smm_4x4)
{
    if (g_product == nullptr) {
        for (auto &row : result->m) {
            for (float &value : row) {
                value = std::numeric_limits<float>::quiet_NaN();
            }
        }
        return 0;
    }
    g_product(&b->m[0][0], &a->m[0][0], &result->m[0][0]);
    return 0;
}
