#include "dependent_chain.h"

#include "clock_ticks.h"
#include "cpu_instructions.h"
#include "wrong_products.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <limits>
#include <utility>

namespace latency {
namespace {

using IntMatrix = std::array<std::array<int, 4>, 4>;

// Sixteen distinct magnitudes with mixed signs and no symmetry: no signed
// permutation applied on either side gives a matrix that is a transpose, an
// operand, or the other side's product.
constexpr IntMatrix kStart = {{
    {1, -2, 3, 4},
    {-5, 6, 7, -8},
    {9, 10, -11, 12},
    {13, -14, 15, 16},
}};

// The signed permutation matrices of size 4, by index: the permutation's
// place in lexicographic order times 16, plus a bit for each row whose
// non-zero element is -1. Row r's non-zero element lies in column[r].
constexpr int kGroupOrder = 384;
constexpr int kIdentity = 0;

struct SignedPermutation {
    std::array<int, 4> column{};
    unsigned negative = 0;
};

constexpr std::array<std::array<int, 4>, 24> Permutations()
{
    std::array<std::array<int, 4>, 24> all{};
    std::array<int, 4> p = {0, 1, 2, 3};
    for (auto &each : all) {
        each = p;
        std::next_permutation(p.begin(), p.end());
    }
    return all;
}
constexpr std::array<std::array<int, 4>, 24> kPermutations = Permutations();

constexpr SignedPermutation Element(int index)
{
    return {kPermutations[static_cast<std::size_t>(index / 16)], static_cast<unsigned>(index % 16)};
}

constexpr int IndexOf(const SignedPermutation &x)
{
    int p = 0;
    while (kPermutations[static_cast<std::size_t>(p)] != x.column) {
        ++p;
    }
    return p * 16 + static_cast<int>(x.negative);
}

// x*y: row r of x picks row column[r] of y, with both signs.
constexpr int Compose(int xIndex, int yIndex)
{
    const SignedPermutation x = Element(xIndex);
    const SignedPermutation y = Element(yIndex);
    SignedPermutation r;
    for (int row = 0; row < 4; ++row) {
        const int via = x.column[static_cast<std::size_t>(row)];
        r.column[static_cast<std::size_t>(row)] = y.column[static_cast<std::size_t>(via)];
        r.negative |= (((x.negative >> row) ^ (y.negative >> via)) & 1u) << row;
    }
    return IndexOf(r);
}

// The inverse is the transpose.
constexpr int Inverse(int xIndex)
{
    const SignedPermutation x = Element(xIndex);
    SignedPermutation r;
    for (int row = 0; row < 4; ++row) {
        const int column = x.column[static_cast<std::size_t>(row)];
        r.column[static_cast<std::size_t>(column)] = row;
        r.negative |= ((x.negative >> row) & 1u) << column;
    }
    return IndexOf(r);
}

// The operand table: elements spread over the group by a fixed stride,
// leaving out the identity, every element that is its own inverse and the
// inverse of every element taken. So a chain cannot undo a call with the
// next one: a kernel that skips a call, or two, or repeats one, always ends
// on a wrong matrix. The elements generate the whole group, with every sign
// of permutation and parity of sign flips among them, so that the products
// of a few draws spread evenly over it: four draws multiply to the identity
// once in 335, six or more once in 384.
constexpr std::array<int, kOperandCount> ChooseOperands()
{
    std::array<int, kOperandCount> chosen{};
    int count = 0;
    for (int k = 0; count < kOperandCount; ++k) {
        const int x = (k * 245 + 97) % kGroupOrder;
        const bool inverseTaken =
            std::find(chosen.begin(), chosen.begin() + count, Inverse(x)) != chosen.begin() + count;
        if (Compose(x, x) != kIdentity && !inverseTaken) {
            chosen[static_cast<std::size_t>(count++)] = x;
        }
    }
    return chosen;
}
constexpr std::array<int, kOperandCount> kOperands = ChooseOperands();

// Which of the four classes of the group's two signs an element is in: the
// sign of its permutation and the parity of its sign flips.
constexpr int SignClass(int index)
{
    const SignedPermutation x = Element(index);
    int inversions = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = i + 1; j < 4; ++j) {
            inversions += x.column[i] > x.column[j] ? 1 : 0;
        }
    }
    return (inversions & 1) * 2 + (std::popcount(x.negative) & 1);
}

constexpr bool EverySignClass()
{
    bool seen[4] = {};
    for (const int x : kOperands) {
        seen[SignClass(x)] = true;
    }
    return seen[0] && seen[1] && seen[2] && seen[3];
}
static_assert(EverySignClass());

constexpr IntMatrix ToIntMatrix(int index)
{
    const SignedPermutation x = Element(index);
    IntMatrix m{};
    for (int row = 0; row < 4; ++row) {
        m[static_cast<std::size_t>(row)][static_cast<std::size_t>(x.column[static_cast<std::size_t>(row)])] =
            ((x.negative >> row) & 1u) != 0 ? -1 : 1;
    }
    return m;
}

constexpr IntMatrix Multiply(const IntMatrix &x, const IntMatrix &y)
{
    IntMatrix r{};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            for (std::size_t c = 0; c < 4; ++c) {
                r[i][j] += x[i][c] * y[c][j];
            }
        }
    }
    return r;
}

constexpr Matrix4 ToMatrix(const IntMatrix &x)
{
    Matrix4 m{};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            m.m[i][j] = static_cast<float>(x[i][j]);
        }
    }
    return m;
}

// The side the other operand multiplies the chain from. Through a, a*b
// multiplies the chain by it on the right; through b the other operand is
// a, so a*b multiplies on the left. b*a swaps both.
enum Side { kRight, kLeft };

Side SideOf(Operand through, Product product)
{
    return (through == Operand::A) == (product == Product::AB) ? kRight : kLeft;
}

// The product so far times each operand, on either side: the chain's
// product moves on by one look-up a call.
struct ProductTables {
    std::uint16_t next[2][kGroupOrder][kOperandCount];
};

const ProductTables &Tables()
{
    static const ProductTables tables = [] {
        ProductTables t{};
        for (int x = 0; x < kGroupOrder; ++x) {
            for (int k = 0; k < kOperandCount; ++k) {
                const int operand = kOperands[static_cast<std::size_t>(k)];
                t.next[kRight][x][k] = static_cast<std::uint16_t>(Compose(x, operand));
                t.next[kLeft][x][k] = static_cast<std::uint16_t>(Compose(operand, x));
            }
        }
        return t;
    }();
    return tables;
}

// The memory of a timed chain, one page: the operands fill its first half,
// 64 bytes each, and the two result areas that take turns lie in the
// second, each on a cache line of its own. No operand shares its place
// within a page with a result area, so that a load of an operand never
// waits on a store of a result 4 KiB away, as it may on some cores.
struct alignas(4096) ChainMemory {
    Matrix4 operands[kOperandCount];
    Matrix4 chain[2];
};
static_assert(sizeof(Matrix4) == 64 && kOperandCount * 64 <= 2048);
ChainMemory g_memory;

// Written afresh before each part of a chain: a kernel that wrote to its
// operand in one part does not spoil the next.
void FillOperands()
{
    for (int k = 0; k < kOperandCount; ++k) {
        g_memory.operands[k] = ToMatrix(ToIntMatrix(kOperands[static_cast<std::size_t>(k)]));
    }
}

// The floating-point controls the program started with, before any library
// was loaded: what every checked call and every timed chain leaves behind.
const cpu::FloatingPointControls g_controls = cpu::SaveFloatingPointControls();

// The generator: xorshift64 (shifts 13, 7, 17) for the state, scrambled by a
// multiplication (xorshift64*) so that the top bits, which pick the
// operands, are as good as any.
constexpr std::uint64_t Step(std::uint64_t s)
{
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

constexpr std::uint64_t Scramble(std::uint64_t s)
{
    return s * 0x2545F4914F6CDD1Du;
}

// Five bits an operand: the top five, then the next five.
static_assert(kOperandCount == 32);
constexpr int FirstOfStep(std::uint64_t scrambled)
{
    return static_cast<int>(scrambled >> 59);
}

constexpr int SecondOfStep(std::uint64_t scrambled)
{
    return static_cast<int>((scrambled >> 54) & (kOperandCount - 1));
}

// Moves the point on by `calls` calls of a chain multiplied on `side`;
// returns the last operand drawn (-1 for none).
int Advance(ChainPoint &point, Side side, std::uint64_t calls)
{
    const auto &next = Tables().next[side];
    int product = point.product;
    int operand = -1;
    point.calls += calls;
    if (calls > 0 && point.draws.pending >= 0) {
        operand = NextOperand(point.draws);
        product = next[product][operand];
        --calls;
    }
    std::uint64_t state = point.draws.state;
    for (; calls >= 2; calls -= 2) {
        state = Step(state);
        const std::uint64_t scrambled = Scramble(state);
        product = next[product][FirstOfStep(scrambled)];
        operand = SecondOfStep(scrambled);
        product = next[product][operand];
    }
    point.draws.state = state;
    if (calls == 1) {
        operand = NextOperand(point.draws);
        product = next[product][operand];
    }
    point.product = product;
    return operand;
}

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


const char *OperandName(Operand through)
{
    return through == Operand::A ? "first" : "second";
}

// Says how `got` differs from `expected`: a whole-matrix fault a kernel author
// recognises where there is one, else the first element that differs.
// `chained` and `other` are the call's operands.
std::string Difference(const Matrix4 &got, const Matrix4 &expected, const Matrix4 &chained, const Matrix4 &other,
                       Product product)
{
    const std::string against = std::string(" (as ") + ProductName(product) + ")";
    if (Equal(got, Transposed(expected))) {
        return TransposedProductText(ProductName(product));
    }
    if (Equal(got, chained)) {
        return ReturnedUnchangedText("the chained operand");
    }
    if (Equal(got, other)) {
        return ReturnedUnchangedText("the other operand");
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

void Call(KernelEntry entry, Operand through, Matrix4 *out, const Matrix4 *chained, const Matrix4 *other)
{
    if (through == Operand::A) {
        entry(out, chained, other);
    } else {
        entry(out, other, chained);
    }
}

// Makes `count` chained calls between two clock reads, two calls an
// iteration so that the result areas take turns with no work between the
// calls (an odd count makes one more call last), and one step of the draws
// an iteration. The draws depend on nothing the kernel computes, so they
// run beside the chain, not on it. On return x points at the last result.
// Inlined with its call, so the loop holds nothing but the calls and the
// draws.
template <typename Call>
std::uint64_t TimeCalls(Call call, Matrix4 *&x, Matrix4 *&y, std::uint32_t count, std::uint64_t state)
{
    std::uint32_t pairs = count / 2;
    const std::uint64_t c0 = ReadClockTicks();
    for (; pairs != 0; --pairs) {
        state = Step(state);
        const std::uint64_t scrambled = Scramble(state);
        call(y, x, &g_memory.operands[FirstOfStep(scrambled)]);
        call(x, y, &g_memory.operands[SecondOfStep(scrambled)]);
    }
    if ((count & 1) != 0) {
        call(y, x, &g_memory.operands[FirstOfStep(Scramble(Step(state)))]);
        std::swap(x, y);
    }
    const std::uint64_t c1 = ReadClockTicks();
    // A kernel may leave values on the x87 stack, or an exception unmasked:
    // the checks and the report would then read invalid values, or fault.
    cpu::RestoreFloatingPointControls(g_controls);
    return c1 - c0;
}

} // namespace

OperandDraws SeedDraws(std::uint64_t seed)
{
    // The state must not be 0, which xorshift never leaves.
    return {seed != 0 ? seed : 0x9E3779B97F4A7C15u, -1};
}

int NextOperand(OperandDraws &draws)
{
    if (draws.pending >= 0) {
        return std::exchange(draws.pending, -1);
    }
    draws.state = Step(draws.state);
    const std::uint64_t scrambled = Scramble(draws.state);
    draws.pending = SecondOfStep(scrambled);
    return FirstOfStep(scrambled);
}

ChainPoint ChainStart(std::uint64_t seed)
{
    return {SeedDraws(seed), kIdentity, 0};
}

Matrix4 ExactAt(const ChainPoint &point, Operand through, Product product)
{
    const IntMatrix other = ToIntMatrix(point.product);
    return ToMatrix(SideOf(through, product) == kRight ? Multiply(kStart, other) : Multiply(other, kStart));
}

ChainCheck CheckCalls(KernelEntry entry, Operand through, ChainPoint &point, int calls,
                      std::optional<Product> product)
{
    FillOperands();
    // Not the timed areas: a check never shares memory with a timing. The
    // result area starts with a value no chain reaches, so that a kernel
    // that writes nothing is seen.
    alignas(64) Matrix4 chain[2] = {ExactAt(point, through, product.value_or(Product::AB)), {}};
    for (float &x : chain[1].m[0]) {
        x = std::numeric_limits<float>::quiet_NaN();
    }
    for (int k = 1; k <= calls; ++k) {
        Matrix4 &out = chain[k % 2];
        const Matrix4 &in = chain[(k - 1) % 2];
        const Matrix4 &other = g_memory.operands[NextOperand(point.draws)];
        const int operand = static_cast<int>(&other - g_memory.operands);
        Call(entry, through, &out, &in, &other);
        cpu::RestoreFloatingPointControls(g_controls);
        const auto after = [&](Product p) {
            ChainPoint next = point;
            next.product = Tables().next[SideOf(through, p)][point.product][operand];
            ++next.calls;
            return next;
        };
        if (!product) {
            // The first result decides which product the kernel computes.
            if (Equal(out, ExactAt(after(Product::AB), through, Product::AB))) {
                product = Product::AB;
            } else if (Equal(out, ExactAt(after(Product::BA), through, Product::BA))) {
                product = Product::BA;
            } else {
                return {std::nullopt,
                        Where(point.calls + 1, through) + "neither a*b nor b*a: " +
                            Difference(out, ExactAt(after(Product::AB), through, Product::AB), in, other,
                                       Product::AB)};
            }
        }
        point = after(*product);
        const Matrix4 expected = ExactAt(point, through, *product);
        if (!Equal(out, expected)) {
            return {product, Where(point.calls, through) + Difference(out, expected, in, other, *product)};
        }
    }
    return {product, {}};
}

ChainTiming TimeChain(KernelEntry entry, Operand through, Product product, const ChainPoint &point,
                      std::uint32_t count)
{
    FillOperands();
    g_memory.chain[0] = ExactAt(point, through, product);
    // Never a value the chain reaches: a kernel that writes nothing is seen.
    for (float &x : g_memory.chain[1].m[0]) {
        x = std::numeric_limits<float>::quiet_NaN();
    }
    Matrix4 *x = &g_memory.chain[0];
    Matrix4 *y = &g_memory.chain[1];
    const std::uint64_t state = point.draws.state;
    const std::uint64_t ticks =
        through == Operand::A
            ? TimeCalls([=](Matrix4 *out, const Matrix4 *in, const Matrix4 *other) { entry(out, in, other); }, x, y,
                        count, state)
            : TimeCalls([=](Matrix4 *out, const Matrix4 *in, const Matrix4 *other) { entry(out, other, in); }, x, y,
                        count, state);
    return {ticks, *x, *y};
}

ChainCheck CheckTimedEnd(const ChainTiming &timing, Operand through, Product product, ChainPoint &point,
                         std::uint32_t count)
{
    const Side side = SideOf(through, product);
    // The timed chain starts at a fresh step of the draws.
    point.draws.pending = -1;
    // Two calls before the end, one before it, and the end.
    ChainPoint twoBefore = point;
    Advance(twoBefore, side, count >= 2 ? count - 2 : 0);
    ChainPoint before = twoBefore;
    const int beforeOperand = count >= 2 ? Advance(before, side, 1) : -1;
    ChainPoint end = before;
    const int endOperand = Advance(end, side, 1);
    point = end;

    const Matrix4 exactBefore = ExactAt(before, through, product);
    const Matrix4 exact = ExactAt(end, through, product);
    if (!Equal(timing.last, exact)) {
        return {product, Where(end.calls, through) + "the chain's last result: " +
                             Difference(timing.last, exact, exactBefore,
                                        ToMatrix(ToIntMatrix(kOperands[static_cast<std::size_t>(endOperand)])),
                                        product)};
    }
    // With one call the other area still holds what the chain started from.
    if (count >= 2 && !Equal(timing.previous, exactBefore)) {
        return {product, Where(before.calls, through) + "the chain's last but one result: " +
                             Difference(timing.previous, exactBefore, ExactAt(twoBefore, through, product),
                                        ToMatrix(ToIntMatrix(kOperands[static_cast<std::size_t>(beforeOperand)])),
                                        product)};
    }
    return {product, {}};
}

ChainOutcome RunChain(KernelEntry entry, Operand through, std::uint32_t count, std::uint64_t seed, bool judged,
                      std::optional<Product> product)
{
    ChainPoint point = ChainStart(seed);
    ChainOutcome outcome;
    // The first calls also warm the caches and the predictors.
    outcome.check = CheckCalls(entry, through, point, kCheckedCalls, judged ? product : Product::AB);
    const Product timedProduct = outcome.check.product.value_or(Product::AB);
    const ChainTiming timing = TimeChain(entry, through, timedProduct, point, count);
    outcome.ticks = timing.ticks;
    if (!judged) {
        outcome.check = {};
        return outcome;
    }
    if (outcome.check.Exact()) {
        outcome.check = CheckTimedEnd(timing, through, timedProduct, point, count);
    }
    if (outcome.check.Exact()) {
        outcome.check = CheckCalls(entry, through, point, kCheckedCalls, timedProduct);
    }
    return outcome;
}

std::uint64_t SeedFromClock()
{
    // The splitmix64 finaliser: nearby clock readings give unrelated seeds.
    std::uint64_t z = ReadClockTicks() + 0x9E3779B97F4A7C15u;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

} // namespace latency
