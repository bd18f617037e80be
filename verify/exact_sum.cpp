#include "exact_sum.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace {

// x = significand * 2^exponent, with exponent >= -149 and a significand of
// at most 24 bits; x must be finite.
struct Decomposed {
    std::uint64_t significand;
    int exponent;
    bool negative;
};

Decomposed Decompose(float x)
{
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const std::uint32_t field = (bits >> 23) & 0xFFu;
    const std::uint32_t fraction = bits & 0x7FFFFFu;
    const bool negative = (bits >> 31) != 0;
    if (field == 0) {
        return {fraction, -149, negative};
    }
    return {fraction | 0x800000u, static_cast<int>(field) - 150, negative};
}

} // namespace

ExactSum ExactSum::Of(float x)
{
    const Decomposed d = Decompose(x);
    ExactSum sum;
    const int shift = d.exponent - kScale;
    sum.limbs_[shift / 64] = d.significand << (shift % 64);
    if (shift % 64 != 0) {
        sum.limbs_[shift / 64 + 1] = d.significand >> (64 - shift % 64);
    }
    return d.negative ? -sum : sum;
}

ExactSum ExactSum::Product(float x, float y)
{
    const Decomposed dx = Decompose(x);
    const Decomposed dy = Decompose(y);
    const std::uint64_t significand = dx.significand * dy.significand; // at most 48 bits
    const int shift = dx.exponent + dy.exponent - kScale;
    ExactSum sum;
    sum.limbs_[shift / 64] = significand << (shift % 64);
    if (shift % 64 != 0) {
        sum.limbs_[shift / 64 + 1] = significand >> (64 - shift % 64);
    }
    return dx.negative != dy.negative ? -sum : sum;
}

ExactSum &ExactSum::operator+=(const ExactSum &other)
{
    std::uint64_t carry = 0;
    for (int i = 0; i < kLimbs; ++i) {
        const std::uint64_t partial = limbs_[i] + other.limbs_[i];
        const std::uint64_t carryOut = partial < limbs_[i] ? 1 : 0;
        limbs_[i] = partial + carry;
        carry = carryOut | (limbs_[i] < partial ? 1 : 0);
    }
    return *this;
}

ExactSum &ExactSum::operator-=(const ExactSum &other)
{
    return *this += -other;
}

ExactSum ExactSum::operator-() const
{
    ExactSum negated;
    std::uint64_t carry = 1;
    for (int i = 0; i < kLimbs; ++i) {
        negated.limbs_[i] = ~limbs_[i] + carry;
        carry = (carry != 0 && negated.limbs_[i] == 0) ? 1 : 0;
    }
    return negated;
}

bool ExactSum::IsZero() const
{
    return std::all_of(limbs_.begin(), limbs_.end(), [](std::uint64_t limb) { return limb == 0; });
}

bool ExactSum::IsNegative() const
{
    return (limbs_[kLimbs - 1] >> 63) != 0;
}

ExactSum ExactSum::Abs() const
{
    return IsNegative() ? -*this : *this;
}

int ExactSum::HighestBit() const
{
    for (int i = kLimbs - 1; i >= 0; --i) {
        if (limbs_[i] != 0) {
            return i * 64 + 63 - std::countl_zero(limbs_[i]);
        }
    }
    return -1;
}

float ExactSum::RoundToFloat() const
{
    const ExactSum magnitude = Abs();
    const int high = magnitude.HighestBit();
    if (high < 0) {
        return 0.0f;
    }
    // The lowest bit kept: 24 significant bits, but none below 2^-149.
    const int low = std::max(high - 23, -149 - kScale);
    std::uint64_t kept = 0;
    for (int bit = high; bit >= low; --bit) {
        kept = kept << 1 | ((magnitude.limbs_[bit / 64] >> (bit % 64)) & 1);
    }
    const int halfBit = low - 1;
    const bool half = ((magnitude.limbs_[halfBit / 64] >> (halfBit % 64)) & 1) != 0;
    bool below = false;
    for (int bit = 0; bit < halfBit && !below; ++bit) {
        below = ((magnitude.limbs_[bit / 64] >> (bit % 64)) & 1) != 0;
    }
    if (half && (below || (kept & 1) != 0)) {
        ++kept;
    }
    // Exact, or infinity past the largest finite value.
    const float rounded = std::ldexp(static_cast<float>(kept), low + kScale);
    return IsNegative() ? -rounded : rounded;
}

double ExactSum::ToDouble() const
{
    const ExactSum magnitude = Abs();
    const int high = magnitude.HighestBit();
    if (high < 0) {
        return 0.0;
    }
    const int low = std::max(high - 63, 0);
    std::uint64_t top = 0;
    for (int bit = high; bit >= low; --bit) {
        top = top << 1 | ((magnitude.limbs_[bit / 64] >> (bit % 64)) & 1);
    }
    const double value = std::ldexp(static_cast<double>(top), low + kScale);
    return IsNegative() ? -value : value;
}
