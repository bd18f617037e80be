// A bench peer: GLM's SIMD mat4 product, behind the kernel entry contract.
// Exported as PEER_PROCEDURE (one name per instruction-set level); built
// only when GLM's headers are installed. GLM stores matrices by
// column, so the row-major a and b read as GLM matrices are their
// transposes, and b x a in GLM's terms is the transpose of a x b.
#include "matmul_kernel.h"

// GLM uses its intrinsics only when asked to.
#define GLM_FORCE_INTRINSICS
#include <glm/glm.hpp>
#include <glm/simd/matrix.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(PEER_PROCEDURE)
{
    glm_vec4 x[4];
    glm_vec4 y[4];
    glm_vec4 product[4];
    for (int k = 0; k < 4; ++k) {
        x[k] = _mm_loadu_ps(a->m[k]);
        y[k] = _mm_loadu_ps(b->m[k]);
    }
    glm_mat4_mul(y, x, product);
    for (int k = 0; k < 4; ++k) {
        _mm_storeu_ps(result->m[k], product[k]);
    }
    return 0;
}
