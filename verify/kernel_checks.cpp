#include "kernel_checks.h"

#include "isolation.h"
#include "operand_sets.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <tuple>
#include <utility>

namespace {

// What the result area holds before each arithmetic call: a NaN no
// arithmetic produces, so an element the kernel never writes shows.
constexpr std::uint32_t kUnwritten = 0x7FA5A5A5u;
constexpr unsigned char kPattern = 0xA5;

Matrix4 FilledWithBits(std::uint32_t bits)
{
    Matrix4 m;
    for (auto &row : m.m) {
        for (float &x : row) {
            std::memcpy(&x, &bits, sizeof x);
        }
    }
    return m;
}

std::uint32_t BitsOf(float x)
{
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// The first element whose bits differ, or -1.
int FirstDifference(const Matrix4 &x, const Matrix4 &y)
{
    for (int k = 0; k < 16; ++k) {
        if (BitsOf(x.m[k / 4][k % 4]) != BitsOf(y.m[k / 4][k % 4])) {
            return k;
        }
    }
    return -1;
}

std::string ElementName(int k)
{
    return "[" + std::to_string(k / 4) + "][" + std::to_string(k % 4) + "]";
}

std::string FloatText(float x)
{
    if (BitsOf(x) == kUnwritten) {
        return "never written";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(x));
    return text;
}

CheckResult Passed(ContractCheck check, std::string detail)
{
    return {std::string(ContractCheckName(check)), true, std::move(detail)};
}

CheckResult Failed(ContractCheck check, std::string detail)
{
    return {std::string(ContractCheckName(check)), false, std::move(detail)};
}

// Three pages, the middle one inaccessible: an object placed to end where
// that page begins, or to start where it ends, has an inaccessible page
// right beside it, so one byte of access beyond it faults.
class GuardedPages {
public:
    GuardedPages()
        : size_(isolation::PageSize()), base_(static_cast<unsigned char *>(isolation::ReservePages(3)))
    {
        guarded_ = base_ != nullptr && isolation::SetPagesAccessible(base_ + size_, 1, false);
    }
    ~GuardedPages()
    {
        if (base_ != nullptr) {
            isolation::ReleasePages(base_, 3);
        }
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    bool Ready() const { return guarded_; }
    std::size_t PageBytes() const { return size_; }
    unsigned char *Before() const { return base_; }           // the page before the guard
    unsigned char *After() const { return base_ + 2 * size_; } // the page after it
    Matrix4 *EndingAtGuard() const { return reinterpret_cast<Matrix4 *>(base_ + size_ - sizeof(Matrix4)); }
    Matrix4 *StartingAfterGuard() const { return reinterpret_cast<Matrix4 *>(After()); }

private:
    std::size_t size_;
    unsigned char *base_;
    bool guarded_ = false;
};

// Three matrices back to back on a 64-byte boundary, as Test lays them out.
struct alignas(64) Matrices {
    Matrix4 result;
    Matrix4 a;
    Matrix4 b;
};

Matrix4 Call(KernelEntry entry, const Matrix4 &a, const Matrix4 &b, const Matrix4 &initial)
{
    Matrices m{initial, a, b};
    entry(&m.result, &m.a, &m.b);
    return m.result;
}

CheckResult CheckWrites(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Writes;
    GuardedPages pages;
    if (!pages.Ready()) {
        return Failed(kCheck, "could not set up an inaccessible page");
    }
    OperandRandom random(1);
    Matrices operands{{}, MixedMatrix(random, -8, 8), MixedMatrix(random, -8, 8)};
    const std::size_t page = pages.PageBytes();

    // The result right before the inaccessible page: a write past its end faults.
    std::memset(pages.Before(), kPattern, page);
    entry(pages.EndingAtGuard(), &operands.a, &operands.b);
    for (std::size_t i = 0; i + sizeof(Matrix4) < page; ++i) {
        if (pages.Before()[i] != kPattern) {
            return Failed(kCheck, "byte " + std::to_string(page - sizeof(Matrix4) - i) +
                                      " before the result was written");
        }
    }
    // The result right after it: a write before its start faults.
    std::memset(pages.After(), kPattern, page);
    entry(pages.StartingAfterGuard(), &operands.a, &operands.b);
    for (std::size_t i = sizeof(Matrix4); i < page; ++i) {
        if (pages.After()[i] != kPattern) {
            return Failed(kCheck, "byte " + std::to_string(i - sizeof(Matrix4)) + " after the result was written");
        }
    }
    return Passed(kCheck, "nothing else changed, with an inaccessible page right before and right after the result");
}

CheckResult CheckReads(KernelEntry entry)
{
    GuardedPages pages;
    if (!pages.Ready()) {
        return Failed(ContractCheck::Reads, "could not set up an inaccessible page");
    }
    OperandRandom random(2);
    Matrices normal{{}, MixedMatrix(random, -8, 8), MixedMatrix(random, -8, 8)};
    for (Matrix4 *place : {pages.EndingAtGuard(), pages.StartingAfterGuard()}) {
        *place = normal.a;
        entry(&normal.result, place, &normal.b);
        *place = normal.b;
        entry(&normal.result, &normal.a, place);
    }
    return Passed(ContractCheck::Reads, "each operand in turn right before and right after an inaccessible page");
}

CheckResult CheckOperands(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Operands;
    OperandRandom random(3);
    for (int round = 0; round < 8; ++round) {
        const Matrix4 a = MixedMatrix(random, -20, 20);
        const Matrix4 b = MixedMatrix(random, -20, 20);
        Matrices m{{}, a, b};
        entry(&m.result, &m.a, &m.b);
        for (const auto &[name, before, after] : {std::tuple{"a", &a, &m.a}, std::tuple{"b", &b, &m.b}}) {
            const int k = FirstDifference(*before, *after);
            if (k >= 0) {
                return Failed(kCheck, std::string("element ") + ElementName(k) + " of " + name + " changed from " +
                                          FloatText(before->m[k / 4][k % 4]) + " to " +
                                          FloatText(after->m[k / 4][k % 4]));
            }
        }
    }
    return Passed(kCheck, "both operands bit for bit as they were");
}

CheckResult CheckIndependence(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Independence;
    OperandRandom random(4);
    const Matrix4 a = MixedMatrix(random, -10, 10);
    const Matrix4 b = MixedMatrix(random, -10, 10);
    const Matrix4 c = MixedMatrix(random, -10, 10);
    const Matrix4 d = MixedMatrix(random, -10, 10);
    const Matrix4 expected = Call(entry, a, b, FilledWithBits(0));
    const Matrix4 other = Call(entry, c, d, FilledWithBits(0));
    const std::pair<const char *, Matrix4> befores[] = {
        {"NaN", FilledWithBits(0x7FC00000u)},
        {"all one bits", FilledWithBits(0xFFFFFFFFu)},
        {"another product", other},
        {"this product", expected},
    };
    for (const auto &[what, initial] : befores) {
        const int k = FirstDifference(Call(entry, a, b, initial), expected);
        if (k >= 0) {
            return Failed(kCheck, std::string("with ") + what + " in the result area beforehand, element " +
                                      ElementName(k) + " differs from the result over zeros");
        }
    }
    // Calls with other operands in between leave nothing behind.
    Matrices m{FilledWithBits(0), a, b};
    entry(&m.result, &m.a, &m.b);
    Matrices between{FilledWithBits(0), c, d};
    for (int i = 0; i < 3; ++i) {
        entry(&between.result, &between.a, &between.b);
        std::swap(between.a, between.b);
    }
    entry(&m.result, &m.a, &m.b);
    const int k = FirstDifference(m.result, expected);
    if (k >= 0) {
        return Failed(kCheck, "after calls with other operands, element " + ElementName(k) + " differs");
    }
    return Passed(kCheck, "the same bits over zeros, NaN, all ones and other products, and after other calls");
}

CheckResult CheckAlignment(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Alignment;
    // Three matrices back to back at 16 bytes past a 64-byte boundary: each
    // 16-byte aligned, none 32-byte aligned.
    alignas(64) unsigned char block[sizeof(Matrix4) * 3 + 16];
    auto *result = reinterpret_cast<Matrix4 *>(block + 16);
    OperandRandom random(5);
    for (int round = 0; round < 4; ++round) {
        const Matrix4 a = MixedMatrix(random, -10, 10);
        const Matrix4 b = MixedMatrix(random, -10, 10);
        std::memcpy(result + 1, &a, sizeof a);
        std::memcpy(result + 2, &b, sizeof b);
        entry(result, result + 1, result + 2);
        Matrix4 got;
        std::memcpy(&got, result, sizeof got);
        const int k = FirstDifference(got, Call(entry, a, b, FilledWithBits(0)));
        if (k >= 0) {
            return Failed(kCheck, "element " + ElementName(k) + " differs from the result at 64-byte alignment");
        }
    }
    return Passed(kCheck, "the same result with all three matrices 16- but not 32-byte aligned");
}

std::string Describe(int pair, int k, float got, float expected)
{
    return "element " + ElementName(k) + " of operand pair " + std::to_string(pair) + " is " + FloatText(got) +
           ", should be " + FloatText(expected);
}

// How well one product fits the kernel's results.
struct Fit {
    double worst = 0;      // finite elements, in units of their bounds
    int worstPair = -1;
    int worstElement = 0;
    float worstGot = 0;
    float worstExact = 0;
    bool specialsRight = true;
    std::string firstSpecialMiss;
    bool modelsMatch[kRoundingModels.size()];
};

} // namespace

std::string_view ContractCheckName(ContractCheck check)
{
    switch (check) {
    case ContractCheck::Writes:
        return "writes only the result";
    case ContractCheck::Reads:
        return "reads only the operands";
    case ContractCheck::Operands:
        return "leaves the operands unchanged";
    case ContractCheck::Independence:
        return "result depends only on the operands";
    case ContractCheck::Alignment:
        return "needs no more than 16-byte alignment";
    }
    return "";
}

CheckResult RunContractCheck(ContractCheck check, KernelEntry entry)
{
    switch (check) {
    case ContractCheck::Writes:
        return CheckWrites(entry);
    case ContractCheck::Reads:
        return CheckReads(entry);
    case ContractCheck::Operands:
        return CheckOperands(entry);
    case ContractCheck::Independence:
        return CheckIndependence(entry);
    case ContractCheck::Alignment:
        return CheckAlignment(entry);
    }
    return {};
}

ArithmeticFindings CheckArithmetic(KernelEntry entry)
{
    const std::vector<OperandPair> pairs = ArithmeticOperands();
    Fit fits[kProducts.size()];
    for (Fit &fit : fits) {
        std::fill(std::begin(fit.modelsMatch), std::end(fit.modelsMatch), true);
    }
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const Matrix4 got = Call(entry, pairs[p].a, pairs[p].b, FilledWithBits(kUnwritten));
        for (std::size_t which = 0; which < kProducts.size(); ++which) {
            Fit &fit = fits[which];
            const bool ab = kProducts[which] == Product::AB;
            const Matrix4 &x = ab ? pairs[p].a : pairs[p].b;
            const Matrix4 &y = ab ? pairs[p].b : pairs[p].a;
            for (int k = 0; k < 16; ++k) {
                const float value = got.m[k / 4][k % 4];
                const ElementReference ref = ReferenceElement(x, y, k / 4, k % 4);
                if (ref.special) {
                    if (!SameResult(value, ref.value) && fit.specialsRight) {
                        fit.specialsRight = false;
                        fit.firstSpecialMiss = Describe(static_cast<int>(p), k, value, ref.value);
                    }
                    continue;
                }
                const double units = ref.ErrorUnits(value);
                if (!(units <= fit.worst)) {
                    fit.worst = units;
                    fit.worstPair = static_cast<int>(p);
                    fit.worstElement = k;
                    fit.worstGot = value;
                    fit.worstExact = ref.value;
                }
            }
            for (std::size_t m = 0; m < kRoundingModels.size(); ++m) {
                if (!fit.modelsMatch[m]) {
                    continue;
                }
                const Matrix4 model = ModelProduct(kRoundingModels[m], x, y);
                for (int k = 0; k < 16 && fit.modelsMatch[m]; ++k) {
                    fit.modelsMatch[m] = SameResult(got.m[k / 4][k % 4], model.m[k / 4][k % 4]);
                }
            }
        }
    }

    ArithmeticFindings findings;
    findings.pairs = static_cast<int>(pairs.size());
    // The product is the one whose worst error is smaller, when that error
    // is still below the size of the terms themselves (2^22 bounds is
    // sum |x*y|): a kernel that merely rounds badly still computes it.
    const std::size_t best = fits[1].worst < fits[0].worst ? 1 : 0;
    const Fit &fit = fits[best];
    const std::string pairsText = std::to_string(pairs.size()) + " operand pairs";
    findings.worstError = fit.worst;
    if (fit.worst < 0x1p22) {
        findings.product = kProducts[best];
        findings.checks.push_back(
            {std::string(kProductCheck), true, std::string(ProductName(kProducts[best])) + " on " + pairsText});
    } else {
        const Fit &ab = fits[0];
        findings.checks.push_back(
            {std::string(kProductCheck), false,
             "neither; against a*b, " + Describe(ab.worstPair, ab.worstElement, ab.worstGot, ab.worstExact)});
    }
    char worst[64];
    std::snprintf(worst, sizeof worst, "%.3g", fit.worst);
    if (fit.worst <= 1) {
        findings.checks.push_back({std::string(kAccuracyCheck), true,
                                   std::string("worst error ") + worst + " of the bound on " + pairsText});
    } else {
        findings.checks.push_back({std::string(kAccuracyCheck), false,
                                   std::string("worst error ") + worst + " times the bound: " +
                                       Describe(fit.worstPair, fit.worstElement, fit.worstGot, fit.worstExact)});
    }
    findings.checks.push_back({std::string(kSpecialsCheck), fit.specialsRight,
                               fit.specialsRight ? "NaN and infinities where IEEE arithmetic gives them"
                                                 : fit.firstSpecialMiss});
    if (findings.product) {
        for (std::size_t m = 0; m < kRoundingModels.size(); ++m) {
            if (fit.modelsMatch[m]) {
                findings.rounding.push_back(kRoundingModels[m]);
            }
        }
    }
    return findings;
}
