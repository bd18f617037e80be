// Kernels each wrong in one way, for Verify's tests. Every one would be
// timed by Test like a correct kernel.
#include "matmul_kernel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

float Element(const Matrix4 *a, const Matrix4 *b, int i, int j)
{
    return a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j] + a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j];
}

Matrix4 g_previous;

} // namespace

KERNEL_LIBRARY_ENTRY

// The transpose of a*b.
KERNEL_DEFINE(transposed)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[j][i] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Adds a*b onto whatever the result held.
KERNEL_DEFINE(accumulates)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] += Element(a, b, i, j);
        }
    }
    return 0;
}

// Right, but uses the first operand as scratch.
KERNEL_DEFINE(scribbles)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    const_cast<Matrix4 *>(a)->m[3][3] = 0.0f;
    return 0;
}

// Right, then clears one element past the result.
KERNEL_DEFINE(writes_past)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    volatile float *past = &result->m[3][3] + 1;
    *past = 0.0f;
    return 0;
}

// Right, but reads one element past the second operand.
KERNEL_DEFINE(reads_past)
{
    volatile const float *past = &b->m[3][3] + 1;
    const float extra = *past * 0.0f;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j) + extra;
        }
    }
    return 0;
}

// Writes the first two rows only.
KERNEL_DEFINE(half_written)
{
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Returns the product of the previous call's operands.
KERNEL_DEFINE(stale)
{
    std::memcpy(result, &g_previous, sizeof *result);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            g_previous.m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Needs 32-byte alignment, as an aligned 256-bit load would.
KERNEL_DEFINE(needs_32_bytes)
{
    if (reinterpret_cast<std::uintptr_t>(result) % 32 != 0) {
        std::abort();
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Faults at once.
KERNEL_DEFINE(crashes)
{
    (void)a;
    (void)b;
    // An address in the first page, which no process maps; laundered
    // through a volatile so the compiler cannot see what it is.
    volatile std::uintptr_t address = 64;
    *reinterpret_cast<volatile float *>(address) = result->m[0][0];
    return 0;
}
