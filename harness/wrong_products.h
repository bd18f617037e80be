// The words Verify and Latency use for a result that is a well-known wrong
// product, so that both programs name it alike.
#pragma once

#include <string>
#include <string_view>

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
