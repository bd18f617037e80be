// A bench peer: cglm's mat4 product, behind the kernel entry contract.
// Exported as PEER_PROCEDURE (one name per instruction-set level); built
// only when cglm's headers are installed.
//
// cglm picks its code by the compiler's flags: with AVX allowed (both
// levels here) glm_mat4_mul is its 256-bit AVX product, which cglm has no
// AVX-512 variant of, so the AVX-512F build is the same code with AVX-512F
// instructions open to the compiler.
//
// cglm stores matrices by column. Row-major a and b read by column are
// their transposes, and b' x a' = (a x b)', so handing it b first and a
// second leaves a x b in the result, row-major.
#include "matmul_kernel.h"

// cglm's AVX loads and stores need 32-byte alignment unless told otherwise;
// the program guarantees 16 bytes only.
#define CGLM_ALL_UNALIGNED
#include <cglm/mat4.h>

// cglm's own mark that it found AVX and glm_mat4_mul is its AVX product.
#ifndef CGLM_AVX_FP
#error "the cglm peer needs AVX allowed, so that cglm takes its AVX product"
#endif

namespace {
// cglm takes its operands as non-const; its product only reads them.
vec4 *Columns(const Matrix4 *matrix)
{
    return const_cast<vec4 *>(matrix->m);
}
} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(PEER_PROCEDURE)
{
    glm_mat4_mul(Columns(b), Columns(a), result->m);
    return 0;
}
