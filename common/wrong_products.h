// The words Verify and Latency use for a result that is a well-known wrong
// product, so that both programs name it alike, and the transpose both
// compare a result with.
#pragma once

#include "matmul_kernel.h"

#include <string>
#include <string_view>

// m with its rows and columns exchanged.
inline Matrix4 Transposed(const Matrix4 &m)
{
    Matrix4 t{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            t.m[i][j] = m.m[j][i];
        }
    }
    return t;
}

// The transpose of the product the kernel should give, with that product:
// "the transposed product (as a*b)".
inline std::string TransposedProductText(std::string_view product)
{
    return "the transposed product (as " + std::string(product) + ")";
}

// An operand given back as the result: "operand a returned unchanged".
inline std::string ReturnedUnchangedText(std::string_view operand)
{
    return std::string(operand) + " returned unchanged";
}
