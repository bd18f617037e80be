// Which product a kernel computes, as Verify finds it, Latency follows it
// and the kernel list registers it.
#pragma once

#include <array>

// x times y, row-major: element [i][j] is the sum over c of x[i][c] * y[c][j].
// A kernel computes a*b when x, y = a, b, or b*a when x, y = b, a.
enum class Product { AB, BA };
inline constexpr std::array kProducts = {Product::AB, Product::BA};

// "a*b", "b*a": the product as the reports and the kernel list write it.
constexpr const char *ProductName(Product product)
{
    return product == Product::AB ? "a*b" : "b*a";
}
