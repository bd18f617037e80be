// A kernel in a dependent chain: each call's result is the next call's
// operand, so a call cannot start before the one before it has finished and
// the time per call is the kernel's latency, where independent calls (as
// Test makes them) measure its throughput.
//
// The other operand is a fixed signed permutation matrix and the chain starts
// from a matrix of small distinct integers, so every value stays exact,
// never grows and never turns subnormal: every rounding model gives the same
// result, and the program knows it exactly.
#pragma once

#include "matmul_kernel.h"

#include <cstdint>
#include <optional>
#include <string>

namespace latency {

// Which operand carries the chain: the result of each call becomes the next
// call's first operand (A) or its second (B).
enum class Operand { A, B };

// What a kernel computes, row-major.
enum class Product { AB, BA };
const char *ProductName(Product product);

// The fixed operand and the chain's first matrix.
const Matrix4 &FixedOperand();
const Matrix4 &StartMatrix();

// The exact matrix after `calls` calls of a kernel computing `product`,
// chained through `through`.
Matrix4 ExpectedAfter(std::uint64_t calls, Operand through, Product product);

// What the chain check found. product is which product the results fit,
// when they fit one; detail says what was wrong, empty when nothing was.
struct ChainCheck {
    std::optional<Product> product;
    std::string detail;
    bool Correct() const { return detail.empty(); }
};

// Calls the kernel `calls` times in a chain from the start matrix and
// compares every result with its exact value. The first result decides the
// product (a*b, or b*a); when `product` is given it must be that one.
ChainCheck CheckFirstCalls(KernelEntry entry, Operand through, int calls, std::optional<Product> product);

struct ChainTiming {
    std::uint64_t ticks = 0; // clock ticks for all the calls
    Matrix4 last{};          // the chain's last result
    Matrix4 previous{};      // the other result area: the result before it
};

// Compares the last two results of a chain of `calls` calls with their exact
// values. Both, since the fixed operand's powers repeat: after a multiple of
// 8 calls the last result is the start matrix, which a kernel that wrote
// nothing in the timed chain would leave there too; the other area starts
// with a value no chain reaches.
ChainCheck CheckLast(const ChainTiming &chain, std::uint64_t calls, Operand through, Product product);

// Times `count` calls (at least 1) in a chain from the start matrix, between
// two fenced clock reads; two result areas take turns, so that no call is
// given the same matrix as result and operand.
ChainTiming TimeChain(KernelEntry entry, Operand through, std::uint32_t count);

} // namespace latency
