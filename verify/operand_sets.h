// The operand pairs Verify tries a kernel on, the same on every run and
// every platform.
#pragma once

#include "matmul_kernel.h"

#include <cstdint>
#include <string_view>
#include <vector>

struct OperandPair {
    Matrix4 a;
    Matrix4 b;
};

// A small deterministic generator, so that every platform draws the same
// operands (the standard distributions are not specified bit for bit).
class OperandRandom {
public:
    explicit OperandRandom(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next();
    // A value with a random significand and sign, of magnitude in
    // [2^low, 2^(high + 1)).
    float Mixed(int low, int high);

private:
    std::uint64_t state_;
};

// Every element a random significand and sign times 2^e, e in [low, high].
Matrix4 MixedMatrix(OperandRandom &random, int low, int high);

// A few dozen pairs for the contract checks, each kind a kernel may treat
// differently: operands as Test draws them (every element positive), mixed
// signs and magnitudes, special values, and a whole zero row or column
// facing infinities and NaN.
std::vector<OperandPair> ContractOperands();

// A few thousand pairs: operands drawn as Test draws them; mixed signs and
// magnitudes from 2^-30 to 2^30; sums that cancel; and special values
// (zeros of both signs, subnormals, infinities, NaN); sums on which the
// rounding models differ; and whole zero rows and columns facing infinities
// and NaN (IEEE gives NaN where a zero meets one).
std::vector<OperandPair> ArithmeticOperands();
