// A kernel in a dependent chain: each call's result is the next call's
// operand, so a call cannot start before the one before it has finished and
// the time per call is the kernel's latency, where independent calls (as
// Test makes them) measure its throughput.
//
// The chain starts from a matrix of small distinct integers, and the other
// operand of each call is one of kOperandCount signed permutation matrices,
// drawn call by call by a generator seeded at run time. Every value stays
// exact, never grows and never turns subnormal, so every rounding model
// gives the same result; the program knows it exactly, since the product of
// signed permutations is one again (one of the 384 of size 4), which it
// follows as an index, a table look-up a call.
//
// The draws make a kernel that stops writing, or skips or repeats a stretch
// of calls, end the chain on a matrix it cannot predict: no stretch of
// draws comes back at a fixed period. What a kernel that skips or repeats a
// stretch is left with differs from the exact result by the product of the
// stretch's operands: never the identity for one call or two (the table
// holds no operand's inverse), once in 335 to 384 for a longer stretch, in
// each chain it happens in. One that stops writing is caught for certain by
// the calls checked after the timed ones.
#pragma once

#include "matmul_kernel.h"
#include "product.h"

#include <cstdint>
#include <optional>
#include <string>

namespace latency {

// Which operand carries the chain: the result of each call becomes the next
// call's first operand (A) or its second (B).
enum class Operand { A, B };

// The table the other operand is drawn from, and the calls checked one by
// one at each end of a chain.
inline constexpr int kOperandCount = 32;
inline constexpr int kCheckedCalls = 16;

// The draws of a chain's other operands: an xorshift generator, one step
// for two calls (the top five bits of the scrambled state, then the next
// five), so that the timed loop draws once for each pair of calls.
struct OperandDraws {
    std::uint64_t state = 0;
    int pending = -1; // the second call's operand of the last step; -1 none
};
OperandDraws SeedDraws(std::uint64_t seed);
// The index in the table of the next call's operand.
int NextOperand(OperandDraws &draws);

// Where a chain stands: the draws to come, the product of the operands
// drawn so far (an index among the 384 signed permutations, in the order
// the chain applies them) and the calls made.
struct ChainPoint {
    OperandDraws draws;
    int product = 0; // the identity
    std::uint64_t calls = 0;
};
ChainPoint ChainStart(std::uint64_t seed);

// The exact matrix at a point of a chain of a kernel computing `product`,
// chained through `through`.
Matrix4 ExactAt(const ChainPoint &point, Operand through, Product product);

// What a chain check found. product is which product the results fit, when
// they fit one; detail says what was wrong, empty when nothing was.
struct ChainCheck {
    std::optional<Product> product;
    std::string detail;
    bool Exact() const { return detail.empty(); }
};

// Calls the kernel `calls` times, continuing the chain from `point` (from
// its exact matrix, in areas of the check's own), and compares every result
// with its exact value; the point moves on with the calls. At the chain's
// start the first result decides the product (a*b, or b*a); when `product`
// is given it must be that one.
ChainCheck CheckCalls(KernelEntry entry, Operand through, ChainPoint &point, int calls,
                      std::optional<Product> product);

struct ChainTiming {
    std::uint64_t ticks = 0; // clock ticks for all the calls
    Matrix4 last{};          // the chain's last result
    Matrix4 previous{};      // the other result area: the result before it
};

// Times `count` calls (at least 1) continuing the chain from `point` (from
// its exact matrix, where the kernel computes `product`), between two fenced
// clock reads; two result areas take turns, so that no call is given the
// same matrix as result and operand. The operands start at a fresh step of
// the draws. The point is left where it was.
ChainTiming TimeChain(KernelEntry entry, Operand through, Product product, const ChainPoint &point,
                      std::uint32_t count);

// Compares the last two results of the chain TimeChain timed from `point`
// with their exact values, found by replaying the draws; the point moves on
// past the timed calls. Both results: a kernel that stopped writing leaves
// two results of its own, and each would have to match.
ChainCheck CheckTimedEnd(const ChainTiming &timing, Operand through, Product product, ChainPoint &point,
                         std::uint32_t count);

// One whole chain, from a seed: kCheckedCalls calls checked one by one,
// `count` calls timed, the timed chain's end checked, and kCheckedCalls
// more calls checked one by one (with the result area cleared first, so
// that a kernel that stopped writing is caught whatever the draws). Unless
// judged the calls are made and nothing is checked. The floating-point
// controls are put back as the program started with them after every
// checked call and after the timed calls.
struct ChainOutcome {
    std::uint64_t ticks = 0;
    ChainCheck check;
};
ChainOutcome RunChain(KernelEntry entry, Operand through, std::uint32_t count, std::uint64_t seed, bool judged,
                      std::optional<Product> product);

// A seed for a chain's draws, from the clock counter: no kernel knows it.
std::uint64_t SeedFromClock();

} // namespace latency
