#include "dependent_chain.h"

#include "clock_ticks.h"
#include "cpu_instructions.h"
#include "wrong_products.h"

#include <array>
#include <cstdio>
#include <limits>
#include <utility>

namespace latency {
namespace {

using IntMatrix = std::array<std::array<int, 4>, 4>;

// Sixteen distinct magnitudes with mixed signs and no symmetry: every power
// of the fixed operand applied on either side gives a matrix that is neither
// a transpose, nor an operand, nor the other side's product.
constexpr IntMatrix kStart = {{
    {1, -2, 3, 4},
    {-5, 6, 7, -8},
    {9, 10, -11, 12},
    {13, -14, 15, 16},
}};

// A four-cycle with one sign flip: not symmetric, and its powers repeat only
// after 8 steps (P^4 = -I), so a kernel that returns an operand or skips a
// step is caught within the first calls.
constexpr IntMatrix kFixed = {{
    {0, 1, 0, 0},
    {0, 0, 1, 0},
    {0, 0, 0, -1},
    {1, 0, 0, 0},
}};

constexpr IntMatrix kIdentity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

constexpr IntMatrix Multiply(const IntMatrix &x, const IntMatrix &y)
{
    IntMatrix r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            for (int c = 0; c < 4; ++c) {
                r[i][j] += x[i][c] * y[c][j];
            }
        }
    }
    return r;
}

// The number of steps after which the fixed operand's powers repeat.
constexpr int FixedOrder()
{
    IntMatrix power = kFixed;
    int order = 1;
    while (power != kIdentity) {
        power = Multiply(power, kFixed);
        ++order;
    }
    return order;
}
constexpr int kFixedOrder = FixedOrder();
static_assert(kFixedOrder == 8);

constexpr Matrix4 ToMatrix(const IntMatrix &x)
{
    Matrix4 m{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            m.m[i][j] = static_cast<float>(x[i][j]);
        }
    }
    return m;
}

constexpr Matrix4 kFixedMatrix = ToMatrix(kFixed);
constexpr Matrix4 kStartMatrix = ToMatrix(kStart);

// The three matrices of a timed chain, each on a cache line of its own, so
// that no operand straddles two lines: the two result areas that take turns,
// and the fixed operand.
struct alignas(64) ChainMatrices {
    Matrix4 chain[2];
    Matrix4 fixed;
};
ChainMatrices g_matrices;

bool Equal(const Matrix4 &x, const Matrix4 &y)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            // Every exact value is a non-zero integer: no sign of zero or NaN
            // to tell apart, and a NaN result is never equal.
            if (!(x.m[i][j] == y.m[i][j])) {
                return false;
            }
        }
    }
    return true;
}

Matrix4 Transposed(const Matrix4 &x)
{
    Matrix4 t{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            t.m[i][j] = x.m[j][i];
        }
    }
    return t;
}

const char *OperandName(Operand through)
{
    return through == Operand::A ? "first" : "second";
}

// Says how `got` differs from `expected`: a whole-matrix fault a kernel author
// recognises where there is one, else the first element that differs.
std::string Difference(const Matrix4 &got, const Matrix4 &expected, const Matrix4 &operand, Product product)
{
    const std::string against = std::string(" (as ") + ProductName(product) + ")";
    if (Equal(got, Transposed(expected))) {
        return TransposedProductText(ProductName(product));
    }
    if (Equal(got, operand)) {
        return ReturnedUnchangedText("the chained operand");
    }
    if (Equal(got, kFixedMatrix)) {
        return ReturnedUnchangedText("the fixed operand");
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            if (!(got.m[i][j] == expected.m[i][j])) {
                char text[160];
                std::snprintf(text, sizeof text, "element [%d][%d] is %.9g, should be %.9g", i, j,
                              static_cast<double>(got.m[i][j]), static_cast<double>(expected.m[i][j]));
                return text + against;
            }
        }
    }
    return {};
}

std::string Where(std::uint64_t call, Operand through)
{
    return "chained through the " + std::string(OperandName(through)) + " operand, call " + std::to_string(call) +
           ": ";
}

// Makes `count` chained calls between two clock reads, two calls an
// iteration so that the result areas take turns with no work between the
// calls (an odd count makes one call first). On return x points at the last
// result. Inlined with its call, so the loop holds nothing but the calls.
template <typename Call>
std::uint64_t TimeCalls(Call call, Matrix4 *&x, Matrix4 *&y, std::uint32_t count)
{
    std::uint32_t pairs = count / 2;
    const std::uint64_t c0 = ReadClockTicks();
    if ((count & 1) != 0) {
        call(y, x);
        std::swap(x, y);
    }
    for (; pairs != 0; --pairs) {
        call(y, x);
        call(x, y);
    }
    const std::uint64_t c1 = ReadClockTicks();
    // A kernel may leave values on the x87 stack; where floats go through
    // that unit (32-bit x86), the checks and the report would then read
    // invalid values.
    cpu::ResetX87();
    return c1 - c0;
}

} // namespace

const char *ProductName(Product product)
{
    return product == Product::AB ? "a*b" : "b*a";
}

const Matrix4 &FixedOperand()
{
    return kFixedMatrix;
}

const Matrix4 &StartMatrix()
{
    return kStartMatrix;
}

Matrix4 ExpectedAfter(std::uint64_t calls, Operand through, Product product)
{
    IntMatrix power = kIdentity;
    for (std::uint64_t k = calls % kFixedOrder; k != 0; --k) {
        power = Multiply(power, kFixed);
    }
    // Through a, a*b multiplies the chain by the fixed operand on the right;
    // through b the fixed operand is a, so a*b multiplies on the left. b*a
    // swaps both.
    const bool fixedOnRight = (through == Operand::A) == (product == Product::AB);
    return ToMatrix(fixedOnRight ? Multiply(kStart, power) : Multiply(power, kStart));
}

ChainCheck CheckFirstCalls(KernelEntry entry, Operand through, int calls, std::optional<Product> product)
{
    // Not the timed areas: a check never shares memory with a timing.
    alignas(64) Matrix4 chain[2] = {kStartMatrix, {}};
    for (float &x : chain[1].m[0]) {
        x = std::numeric_limits<float>::quiet_NaN();
    }
    const Matrix4 fixed = kFixedMatrix;
    for (int k = 1; k <= calls; ++k) {
        Matrix4 &out = chain[k % 2];
        const Matrix4 &in = chain[(k - 1) % 2];
        if (through == Operand::A) {
            entry(&out, &in, &fixed);
        } else {
            entry(&out, &fixed, &in);
        }
        cpu::ResetX87();
        if (!product) {
            if (Equal(out, ExpectedAfter(1, through, Product::AB))) {
                product = Product::AB;
            } else if (Equal(out, ExpectedAfter(1, through, Product::BA))) {
                product = Product::BA;
            } else {
                return {std::nullopt, Where(1, through) + "neither a*b nor b*a: " +
                                          Difference(out, ExpectedAfter(1, through, Product::AB), in, Product::AB)};
            }
            continue;
        }
        const Matrix4 expected = ExpectedAfter(static_cast<std::uint64_t>(k), through, *product);
        if (!Equal(out, expected)) {
            return {product, Where(static_cast<std::uint64_t>(k), through) + Difference(out, expected, in, *product)};
        }
    }
    return {product, {}};
}

ChainCheck CheckLast(const ChainTiming &chain, std::uint64_t calls, Operand through, Product product)
{
    const Matrix4 expected = ExpectedAfter(calls, through, product);
    const Matrix4 before = ExpectedAfter(calls - 1, through, product);
    if (!Equal(chain.last, expected)) {
        return {product,
                Where(calls, through) + "the chain's last result: " + Difference(chain.last, expected, before, product)};
    }
    // With one call the other area still holds what the chain started from.
    if (calls >= 2 && !Equal(chain.previous, before)) {
        return {product, Where(calls - 1, through) + "the chain's last but one result: " +
                             Difference(chain.previous, before, ExpectedAfter(calls - 2, through, product), product)};
    }
    return {product, {}};
}

ChainTiming TimeChain(KernelEntry entry, Operand through, std::uint32_t count)
{
    g_matrices.chain[0] = kStartMatrix;
    // Never a value the chain reaches: a kernel that writes nothing is seen.
    for (float &x : g_matrices.chain[1].m[0]) {
        x = std::numeric_limits<float>::quiet_NaN();
    }
    g_matrices.fixed = kFixedMatrix;
    Matrix4 *x = &g_matrices.chain[0];
    Matrix4 *y = &g_matrices.chain[1];
    const Matrix4 *const fixed = &g_matrices.fixed;
    const std::uint64_t ticks =
        through == Operand::A
            ? TimeCalls([=](Matrix4 *out, const Matrix4 *in) { entry(out, in, fixed); }, x, y, count)
            : TimeCalls([=](Matrix4 *out, const Matrix4 *in) { entry(out, fixed, in); }, x, y, count);
    return {ticks, *x, *y};
}

} // namespace latency
