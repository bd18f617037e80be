// A bench peer: Eigen's fixed-size 4x4 single-precision product, behind the
// kernel entry contract, exported as PEER_PROCEDURE (one name per
// instruction-set level). Built only when Eigen's headers are installed.
#include "matmul_kernel.h"

#include <Eigen/Core>

namespace {
using RowMajor4f = Eigen::Matrix<float, 4, 4, Eigen::RowMajor>;
}

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(PEER_PROCEDURE)
{
    Eigen::Map<RowMajor4f> r(&result->m[0][0]);
    const Eigen::Map<const RowMajor4f> x(&a->m[0][0]);
    const Eigen::Map<const RowMajor4f> y(&b->m[0][0]);
    r.noalias() = x * y;
    return 0;
}
