#include "operand_generator.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// The minimal standard generator by plain 64-bit arithmetic, independent of
// the overflow-free decomposition the harness uses.
std::uint32_t DirectNext(std::uint32_t &state, std::uint32_t bound)
{
    state = static_cast<std::uint32_t>(std::uint64_t{state} * 16807u % 2147483647u);
    return state % bound;
}

TEST(OperandGenerator, PublishedCheckValue)
{
    SeedRandom(1);
    for (int i = 0; i < 10000; ++i) {
        NextRandom(2147483647u);
    }
    EXPECT_EQ(RandomState(), 1043618065u);
}

TEST(OperandGenerator, MatchesDirectArithmeticForEverySeedRange)
{
    for (std::uint32_t seed : {1u, 2u, 12345678u, 2147483646u, 2147483648u, 3000000000u, 4294967295u}) {
        SeedRandom(seed);
        std::uint32_t direct = seed;
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(NextRandom(1u << 20), DirectNext(direct, 1u << 20)) << "seed " << seed;
        }
    }
}

TEST(OperandGenerator, SeedsThatWouldFreezeKeepTheInitialState)
{
    for (std::uint32_t seed : {0u, 2147483647u, 4294967294u}) {
        SeedRandom(seed);
        EXPECT_EQ(RandomState(), kInitialRandomState) << seed;
        EXPECT_NE(NextRandom(2147483647u), 0u); // the generator moves on
        EXPECT_NE(RandomState(), 0u);
    }
}

TEST(OperandGenerator, FillDrawsNumeratorThenDenominator)
{
    const std::uint32_t seed = 987654321u;
    SeedRandom(seed);
    Matrix4 m;
    FillRandomMatrix(m);

    std::uint32_t state = seed;
    auto nonZero = [&] {
        std::uint32_t draw;
        do {
            draw = DirectNext(state, 1u << 20);
        } while (draw == 0);
        return draw;
    };
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t a = nonZero();
        const std::uint32_t b = nonZero();
        const float expected = static_cast<float>(static_cast<double>(a) / static_cast<double>(b));
        EXPECT_EQ(m.m[i / 4][i % 4], expected) << "element " << i;
        EXPECT_GE(m.m[i / 4][i % 4], 1.0f / 1048575.0f);
        EXPECT_LE(m.m[i / 4][i % 4], 1048575.0f);
    }
    EXPECT_EQ(RandomState(), state);
}

} // namespace
