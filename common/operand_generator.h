// The random operands: the minimal standard multiplicative generator
// (16807 * state mod 2^31 - 1) and the matrix fill built on it.
#pragma once

#include <cstdint>

#include "matmul_kernel.h"

inline constexpr std::uint32_t kInitialRandomState = 12345678;

// Sets the generator state. A seed that is a multiple of 2^31 - 1 (0
// included) would freeze the generator at 0; the state then stays at
// kInitialRandomState.
void SeedRandom(std::uint32_t value);

// Advances the state and returns state mod bound.
std::uint32_t NextRandom(std::uint32_t bound);

// The generator's current state.
std::uint32_t RandomState();

// Sets each element, first to last, to a / b rounded to single precision,
// where a and b (drawn in that order) are each the first non-zero draw of
// NextRandom(2^20).
void FillRandomMatrix(Matrix4 &m);
