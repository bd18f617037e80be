#include "operand_generator.h"

namespace {

constexpr std::uint32_t kModulus = 2147483647; // 2^31 - 1
constexpr std::uint32_t kMultiplier = 16807;
// Schrage's decomposition of the modulus: kModulus = kMultiplier * kQuotient + kRemainder.
constexpr std::uint32_t kQuotient = 127773;
constexpr std::uint32_t kRemainder = 2836;
constexpr std::uint32_t kDrawBound = 1u << 20;

std::uint32_t g_state = kInitialRandomState;

std::uint32_t NonZeroDraw()
{
    std::uint32_t draw = 0;
    do {
        draw = NextRandom(kDrawBound);
    } while (draw == 0);
    return draw;
}

} // namespace

void SeedRandom(std::uint32_t value)
{
    g_state = value % kModulus == 0 ? kInitialRandomState : value;
}

std::uint32_t NextRandom(std::uint32_t bound)
{
    const std::uint32_t hi = g_state / kQuotient;
    const std::uint32_t lo = g_state % kQuotient;
    std::int64_t t = std::int64_t{kMultiplier} * lo - std::int64_t{kRemainder} * hi;
    if (t < 0) {
        t += kModulus;
    }
    g_state = static_cast<std::uint32_t>(t);
    return g_state % bound;
}

std::uint32_t RandomState()
{
    return g_state;
}

void FillRandomMatrix(Matrix4 &m)
{
    for (auto &row : m.m) {
        for (float &element : row) {
            const std::uint32_t numerator = NonZeroDraw();
            const std::uint32_t denominator = NonZeroDraw();
            element = static_cast<float>(numerator) / static_cast<float>(denominator);
        }
    }
}
