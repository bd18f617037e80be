// Exact sums of products of single-precision values, in wide fixed-point
// integer arithmetic: every such product, and every sum of a few of them, is
// an integer multiple of 2^-298 below 2^260 in magnitude, so a 640-bit
// two's-complement integer holds it with nothing rounded.
#pragma once

#include <array>
#include <cstdint>

class ExactSum {
public:
    // Zero.
    ExactSum() = default;

    // The finite value x, exactly.
    static ExactSum Of(float x);
    // The product x * y of two finite values, exactly.
    static ExactSum Product(float x, float y);

    ExactSum &operator+=(const ExactSum &other);
    ExactSum &operator-=(const ExactSum &other);
    ExactSum operator-() const;

    bool IsZero() const;
    bool IsNegative() const;
    ExactSum Abs() const;

    // Rounded once to single precision, to nearest with ties to even,
    // through the subnormals and up to infinity. Zero comes back as +0.
    float RoundToFloat() const;
    // The nearest double, or near enough for a ratio of errors: the top 64
    // bits are kept.
    double ToDouble() const;

private:
    static constexpr int kLimbs = 10;
    // Value = bits * 2^kScale, two's complement, least significant limb first.
    static constexpr int kScale = -298;

    int HighestBit() const; // of a non-negative value; -1 for zero
    std::array<std::uint64_t, kLimbs> limbs_{};
};
