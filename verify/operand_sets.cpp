#include "operand_sets.h"

#include "operand_generator.h"

#include <cmath>
#include <limits>

std::uint32_t OperandRandom::Next()
{
    // 64-bit linear congruential step; the high half is well mixed.
    state_ = state_ * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::uint32_t>(state_ >> 32);
}

float OperandRandom::Mixed(int low, int high)
{
    const float significand = 1.0f + static_cast<float>(Next() & 0x7FFFFFu) * 0x1p-23f;
    const int exponent = low + static_cast<int>(Next() % static_cast<std::uint32_t>(high - low + 1));
    const float value = std::ldexp(significand, exponent);
    return (Next() & 1) != 0 ? -value : value;
}

Matrix4 MixedMatrix(OperandRandom &random, int low, int high)
{
    Matrix4 m;
    for (auto &row : m.m) {
        for (float &x : row) {
            x = random.Mixed(low, high);
        }
    }
    return m;
}

namespace {

void AddHarnessDrawn(std::vector<OperandPair> &pairs, int count, std::uint32_t seed)
{
    SeedRandom(seed);
    for (int k = 0; k < count; ++k) {
        OperandPair pair;
        FillRandomMatrix(pair.a);
        FillRandomMatrix(pair.b);
        pairs.push_back(pair);
    }
}

void AddMixed(std::vector<OperandPair> &pairs, OperandRandom &random, int count)
{
    const int spreads[] = {0, 4, 12, 30};
    for (int k = 0; k < count; ++k) {
        const int spread = spreads[k % 4];
        pairs.push_back({MixedMatrix(random, -spread, spread), MixedMatrix(random, -spread, spread)});
    }
}

// Columns 1 and 3 of a undo columns 0 and 2 but for a small relative
// difference (or none: an exact zero), and rows 1 and 3 of b repeat rows 0
// and 2, so that every element of a*b is a sum that cancels.
void AddCancelling(std::vector<OperandPair> &pairs, OperandRandom &random, int count)
{
    for (int k = 0; k < count; ++k) {
        OperandPair pair{MixedMatrix(random, -10, 10), MixedMatrix(random, -10, 10)};
        for (int i = 0; i < 4; ++i) {
            for (int c : {0, 2}) {
                const int shift = static_cast<int>(random.Next() % 24); // 2^-23 .. 1 relative
                const float nudge = (k % 5 == 0) ? 0.0f : std::ldexp(1.0f, -shift - 1);
                pair.a.m[i][c + 1] = -pair.a.m[i][c] * (1.0f + nudge);
            }
        }
        for (int j = 0; j < 4; ++j) {
            pair.b.m[1][j] = pair.b.m[0][j];
            pair.b.m[3][j] = pair.b.m[2][j];
        }
        pairs.push_back(pair);
    }
}

// Mixed operands with a few elements replaced by special values: zeros and
// subnormals in every pair, infinities and NaN in half of them.
void AddSpecial(std::vector<OperandPair> &pairs, OperandRandom &random, int count)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float small[] = {0.0f, -0.0f, tiny, -tiny * 77, std::numeric_limits<float>::min() * 0.75f,
                           -std::numeric_limits<float>::min() / 3};
    const float large[] = {kInf, -kInf, std::numeric_limits<float>::quiet_NaN()};
    for (int k = 0; k < count; ++k) {
        OperandPair pair{MixedMatrix(random, -20, 20), MixedMatrix(random, -20, 20)};
        for (Matrix4 *m : {&pair.a, &pair.b}) {
            const int replaced = 1 + static_cast<int>(random.Next() % 4);
            for (int r = 0; r < replaced; ++r) {
                float &x = m->m[random.Next() % 4][random.Next() % 4];
                if (k % 2 == 1 && r == 0) {
                    x = large[random.Next() % 3];
                } else {
                    x = small[random.Next() % 6];
                }
            }
        }
        pairs.push_back(pair);
    }
}

// Sums built so that the rounding models give different results: on the
// diagonal of x*y, element [k][k] is row k of x times column k of y.
//   [0][0] 1 + (2^-24 + 2^-60): one rounding of the exact sum goes up, while
//          rounding through double first lands on the tie and stays at 1.
//   [1][1] 1 + 2^-60 - 1: only the exact sum keeps 2^-60.
//   [2][2] 1 + 2^-24 * (1 + 2^-27): a product rounded to single lands on the
//          tie and stays at 1; kept in double, it rounds up.
//   [3][3] 1 + 3 * 2^-25: summed in double it rounds up; rounded to single
//          after each step, it stays at 1.
// Each copy is scaled by powers of two and its sign flipped at random, which
// keeps every rounding decision as it is.
void AddDiscriminating(std::vector<OperandPair> &pairs, OperandRandom &random, int count)
{
    const float x[4][4] = {
        {1.0f, 0x1p-24f * (1.0f + 0x1p-12f), 0.0f, 0.0f},
        {1.0f, 0x1p-30f, -1.0f, 0.0f},
        {1.0f, 0x1p-24f * (1.0f + 0x1p-9f), 0.0f, 0.0f},
        {1.0f, 0x1p-25f, 0x1p-25f, 0x1p-25f},
    };
    const float y[4][4] = {
        // y[c][k]: column k pairs with row k of x.
        {1.0f, 1.0f, 1.0f, 1.0f},
        {1.0f - 0x1p-12f + 0x1p-24f, 0x1p-30f, 1.0f - 0x1p-9f + 0x1p-18f, 1.0f},
        {0.0f, 1.0f, 0.0f, 1.0f},
        {0.0f, 0.0f, 0.0f, 1.0f},
    };
    for (int k = 0; k < count; ++k) {
        Matrix4 rows;
        Matrix4 columns;
        for (int i = 0; i < 4; ++i) {
            const int scale = static_cast<int>(random.Next() % 41) - 20;
            const float sign = (random.Next() & 1) != 0 ? -1.0f : 1.0f;
            for (int c = 0; c < 4; ++c) {
                rows.m[i][c] = sign * std::ldexp(x[i][c], scale);
                columns.m[c][i] = std::ldexp(y[c][i], -scale);
            }
        }
        // The same sums for a kernel computing a*b and one computing b*a.
        pairs.push_back({rows, columns});
        pairs.push_back({columns, rows});
    }
}

// One line of one operand zeroed (a row or a column, of a or b, in turn,
// zeros of both signs) and infinities or NaN anywhere in the other: every
// product reaches the zero line, so the result holds NaN there, which a
// kernel that skips zero rows misses.
void AddZeroLines(std::vector<OperandPair> &pairs, OperandRandom &random, int count)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float large[] = {kInf, -kInf, std::numeric_limits<float>::quiet_NaN()};
    for (int k = 0; k < count; ++k) {
        OperandPair pair{MixedMatrix(random, -10, 10), MixedMatrix(random, -10, 10)};
        Matrix4 &zeroed = k % 4 < 2 ? pair.a : pair.b;
        Matrix4 &other = k % 4 < 2 ? pair.b : pair.a;
        const int line = static_cast<int>(random.Next() % 4);
        for (int t = 0; t < 4; ++t) {
            const float zero = (random.Next() & 1) != 0 ? -0.0f : 0.0f;
            (k % 2 == 0 ? zeroed.m[line][t] : zeroed.m[t][line]) = zero;
        }
        const int replaced = 1 + static_cast<int>(random.Next() % 3);
        for (int r = 0; r < replaced; ++r) {
            other.m[random.Next() % 4][random.Next() % 4] = large[random.Next() % 3];
        }
        pairs.push_back(pair);
    }
}

// A first product too small even for a subnormal: element [0][0] sums
// -2^-160 and three products of -0. Rounded after its first step, from +0, it
// is -0; a kernel that rounds the product to single before adding it to +0
// gives +0. Row 0 of b facing column 0 of a meet the same values, so the pair
// serves a kernel computing b*a too.
void AddSignedUnderflow(std::vector<OperandPair> &pairs)
{
    OperandPair pair;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            pair.a.m[i][j] = -0.0f;
            pair.b.m[i][j] = 1.0f;
        }
    }
    pair.a.m[0][0] = -0x1p-80f;
    pair.b.m[0][0] = 0x1p-80f;
    pairs.push_back(pair);
}

} // namespace

std::vector<OperandPair> ContractOperands()
{
    std::vector<OperandPair> pairs;
    OperandRandom random(0xC0417AC7u);
    for (std::uint32_t seed : {kInitialRandomState, 1u, 20261208u, 2147483646u}) {
        AddHarnessDrawn(pairs, 2, seed);
    }
    AddMixed(pairs, random, 8);
    AddSpecial(pairs, random, 4);
    AddZeroLines(pairs, random, 4);
    return pairs;
}

std::vector<OperandPair> ArithmeticOperands()
{
    std::vector<OperandPair> pairs;
    OperandRandom random(0x5EED2026u);
    AddHarnessDrawn(pairs, 1000, 20261208);
    AddMixed(pairs, random, 1000);
    AddCancelling(pairs, random, 500);
    AddSpecial(pairs, random, 500);
    AddDiscriminating(pairs, random, 50);
    AddZeroLines(pairs, random, 100);
    AddSignedUnderflow(pairs);
    return pairs;
}
