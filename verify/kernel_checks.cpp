#include "kernel_checks.h"

#include "isolation.h"
#include "operand_sets.h"
#include "processor_state.h"
#include "wrong_products.h"

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

std::string g_firstStateChange;

// Every call of the kernel goes through here: the processor state is put
// back after it, and the first change it made is kept for the report.
void CallKernel(KernelEntry entry, Matrix4 *result, const Matrix4 *a, const Matrix4 *b, const char *operands)
{
    const std::string change = CallRestoringState(entry, result, a, b);
    if (!change.empty() && g_firstStateChange.empty()) {
        g_firstStateChange = change + ", after a call on " + operands;
    }
}

// Three pages, the middle one inaccessible: an object placed to end where
// that page begins, or to start where it ends, has an inaccessible page
// right beside it, so one byte of access beyond it faults. A fault in the
// guard page is told as an access beside the object it guards.
class GuardedPages {
public:
    GuardedPages()
        : size_(platform::PageSize()), base_(static_cast<unsigned char *>(platform::ReservePages(3)))
    {
        guarded_ = base_ != nullptr && platform::SetPageAccess(base_ + size_, 1, platform::Access::None);
    }
    ~GuardedPages()
    {
        platform::WatchRanges(nullptr, 0);
        if (base_ != nullptr) {
            platform::ReleasePages(base_, 3);
        }
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    bool Ready() const { return guarded_; }
    std::size_t PageBytes() const { return size_; }
    unsigned char *Before() const { return base_; }           // the page before the guard
    unsigned char *After() const { return base_ + 2 * size_; } // the page after it
    // The label says which matrix lies beside the guard, and on which
    // side: "after:b" when b ends where it begins, "before:b" when b
    // starts where it ends.
    Matrix4 *EndingAtGuard(const char *label)
    {
        Watch(false, label);
        return reinterpret_cast<Matrix4 *>(base_ + size_ - sizeof(Matrix4));
    }
    Matrix4 *StartingAfterGuard(const char *label)
    {
        Watch(true, label);
        return reinterpret_cast<Matrix4 *>(After());
    }

private:
    void Watch(bool fromEnd, const char *label)
    {
        watched_ = {base_ + size_, base_ + 2 * size_, fromEnd, label};
        platform::WatchRanges(&watched_, 1);
    }

    std::size_t size_;
    unsigned char *base_;
    bool guarded_ = false;
    platform::WatchedRange watched_;
};

// Three matrices back to back, as Test lays them out, here from a 64-byte
// boundary: Test itself aligns them to 16 bytes, and the alignment check
// moves them to each 16-byte offset within 64.
struct alignas(64) Matrices {
    Matrix4 result;
    Matrix4 a;
    Matrix4 b;
};

// Where the checks put the matrices they pass, the guarded ones apart: a
// page of their own, outside the stack and the heap, so that a kernel's
// stray access lands where the checks see it rather than in a red zone a
// sanitizer runtime reports first. Slots of 256 bytes, 64-byte aligned.
unsigned char *Slot(int slot)
{
    alignas(64) static unsigned char fallback[4096];
    static unsigned char *const page = [] {
        void *reserved = platform::PageSize() >= sizeof fallback ? platform::ReservePages(1) : nullptr;
        return reserved != nullptr ? static_cast<unsigned char *>(reserved) : fallback;
    }();
    return page + 256 * slot;
}

Matrices &Place(int slot, const Matrix4 &result, const Matrix4 &a, const Matrix4 &b)
{
    auto *m = reinterpret_cast<Matrices *>(Slot(slot));
    std::memcpy(&m->result, &result, sizeof result);
    std::memcpy(&m->a, &a, sizeof a);
    std::memcpy(&m->b, &b, sizeof b);
    return *m;
}

// The pair's number in the contract operands, for the report.
std::string PairText(std::size_t p)
{
    return "contract operand pair " + std::to_string(p);
}

// The three matrices back to back at offset bytes past a 64-byte boundary.
Matrix4 Call(KernelEntry entry, const Matrix4 &a, const Matrix4 &b, const Matrix4 &initial, std::size_t offset,
             const char *operands)
{
    auto *m = reinterpret_cast<Matrix4 *>(Slot(8) + offset);
    std::memcpy(m, &initial, sizeof initial);
    std::memcpy(m + 1, &a, sizeof a);
    std::memcpy(m + 2, &b, sizeof b);
    CallKernel(entry, m, m + 1, m + 2, operands);
    Matrix4 result;
    std::memcpy(&result, m, sizeof result);
    return result;
}

CheckResult CheckWrites(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Writes;
    GuardedPages pages;
    if (!pages.Ready()) {
        return Failed(kCheck, "could not set up an inaccessible page");
    }
    const std::vector<OperandPair> pairs = ContractOperands();
    const std::size_t page = pages.PageBytes();
    // Each pair twice in a row, as Test calls the kernel.
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        Matrices &operands = Place(0, {}, pairs[p].a, pairs[p].b);
        const std::string where = PairText(p);
        // The result right before the inaccessible page: a write past its end faults.
        std::memset(pages.Before(), kPattern, page);
        Matrix4 *result = pages.EndingAtGuard("after:the result");
        for (int call = 0; call < 2; ++call) {
            CallKernel(entry, result, &operands.a, &operands.b, where.c_str());
        }
        for (std::size_t i = 0; i + sizeof(Matrix4) < page; ++i) {
            if (pages.Before()[i] != kPattern) {
                return Failed(kCheck, "byte " + std::to_string(page - sizeof(Matrix4) - i) +
                                          " before the result was written (" + where + ")");
            }
        }
        // The result right after it: a write before its start faults.
        std::memset(pages.After(), kPattern, page);
        result = pages.StartingAfterGuard("before:the result");
        for (int call = 0; call < 2; ++call) {
            CallKernel(entry, result, &operands.a, &operands.b, where.c_str());
        }
        for (std::size_t i = sizeof(Matrix4); i < page; ++i) {
            if (pages.After()[i] != kPattern) {
                return Failed(kCheck, "byte " + std::to_string(i - sizeof(Matrix4) + 1) +
                                          " after the result was written (" + where + ")");
            }
        }
    }
    return Passed(kCheck, "nothing else changed, with an inaccessible page right before and right after the result, "
                          "on " + std::to_string(pairs.size()) + " operand pairs");
}

CheckResult CheckReads(KernelEntry entry)
{
    GuardedPages pages;
    if (!pages.Ready()) {
        return Failed(ContractCheck::Reads, "could not set up an inaccessible page");
    }
    const std::vector<OperandPair> pairs = ContractOperands();
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        Matrices &normal = Place(0, {}, pairs[p].a, pairs[p].b);
        const std::string where = PairText(p);
        for (const bool first : {true, false}) {
            for (const bool ending : {true, false}) {
                const char *label = first ? (ending ? "after:a" : "before:a") : (ending ? "after:b" : "before:b");
                Matrix4 *place = ending ? pages.EndingAtGuard(label) : pages.StartingAfterGuard(label);
                *place = first ? normal.a : normal.b;
                for (int call = 0; call < 2; ++call) {
                    CallKernel(entry, &normal.result, first ? place : &normal.a, first ? &normal.b : place,
                               where.c_str());
                }
            }
        }
    }
    return Passed(ContractCheck::Reads, "each operand in turn right before and right after an inaccessible page, on " +
                                            std::to_string(pairs.size()) + " operand pairs");
}

CheckResult CheckOperands(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Operands;
    const std::vector<OperandPair> pairs = ContractOperands();
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const OperandPair &pair = pairs[p];
        Matrices &m = Place(0, {}, pair.a, pair.b);
        const std::string where = PairText(p);
        CallKernel(entry, &m.result, &m.a, &m.b, where.c_str());
        for (const auto &[name, before, after] : {std::tuple{"a", &pair.a, &m.a}, std::tuple{"b", &pair.b, &m.b}}) {
            const int k = FirstDifference(*before, *after);
            if (k >= 0) {
                return Failed(kCheck, std::string("element ") + ElementName(k) + " of " + name + " changed from " +
                                          FloatText(before->m[k / 4][k % 4]) + " to " +
                                          FloatText(after->m[k / 4][k % 4]) + " (" + where + ")");
            }
        }
    }
    // The operands on a read-only page during the call: a kernel that
    // changes one and puts it back faults.
    void *page = platform::ReservePages(1);
    if (page == nullptr) {
        return Failed(kCheck, "could not set up a read-only page");
    }
    auto *operands = static_cast<Matrix4 *>(page);
    const platform::WatchedRange watched[] = {{operands, operands + 1, false, "readonly:a"},
                                               {operands + 1, operands + 2, false, "readonly:b"}};
    Matrix4 &result = Place(0, {}, {}, {}).result;
    bool ready = true;
    for (std::size_t p = 0; p < pairs.size() && ready; ++p) {
        const std::string where = PairText(p);
        operands[0] = pairs[p].a;
        operands[1] = pairs[p].b;
        ready = platform::SetPageAccess(page, 1, platform::Access::ReadOnly);
        platform::WatchRanges(watched, 2);
        for (int call = 0; call < 2 && ready; ++call) {
            CallKernel(entry, &result, &operands[0], &operands[1], where.c_str());
        }
        platform::WatchRanges(nullptr, 0);
        ready = ready && platform::SetPageAccess(page, 1, platform::Access::ReadWrite);
    }
    platform::ReleasePages(page, 1);
    if (!ready) {
        return Failed(kCheck, "could not set up a read-only page");
    }
    return Passed(kCheck, "both operands bit for bit as they were, and read-only during the call, on " +
                              std::to_string(pairs.size()) + " operand pairs");
}

CheckResult CheckIndependence(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Independence;
    OperandRandom random(4);
    const Matrix4 a = MixedMatrix(random, -10, 10);
    const Matrix4 b = MixedMatrix(random, -10, 10);
    const Matrix4 c = MixedMatrix(random, -10, 10);
    const Matrix4 d = MixedMatrix(random, -10, 10);
    const char *where = "the independence check's operands";
    const Matrix4 expected = Call(entry, a, b, FilledWithBits(0), 0, where);
    const Matrix4 other = Call(entry, c, d, FilledWithBits(0), 0, where);
    const std::pair<const char *, Matrix4> befores[] = {
        {"NaN", FilledWithBits(0x7FC00000u)},
        {"all one bits", FilledWithBits(0xFFFFFFFFu)},
        {"another product", other},
        {"this product", expected},
    };
    for (const auto &[what, initial] : befores) {
        const int k = FirstDifference(Call(entry, a, b, initial, 0, where), expected);
        if (k >= 0) {
            return Failed(kCheck, std::string("with ") + what + " in the result area beforehand, element " +
                                      ElementName(k) + " differs from the result over zeros");
        }
    }
    // Calls with other operands in between leave nothing behind.
    Matrices &m = Place(0, FilledWithBits(0), a, b);
    CallKernel(entry, &m.result, &m.a, &m.b, where);
    Matrices &between = Place(1, FilledWithBits(0), c, d);
    for (int i = 0; i < 3; ++i) {
        CallKernel(entry, &between.result, &between.a, &between.b, where);
        std::swap(between.a, between.b);
    }
    CallKernel(entry, &m.result, &m.a, &m.b, where);
    const int k = FirstDifference(m.result, expected);
    if (k >= 0) {
        return Failed(kCheck, "after calls with other operands, element " + ElementName(k) + " differs");
    }
    return Passed(kCheck, "the same bits over zeros, NaN, all ones and other products, and after other calls");
}

CheckResult CheckAlignment(KernelEntry entry)
{
    constexpr ContractCheck kCheck = ContractCheck::Alignment;
    // The three matrices back to back at each 16-byte offset within 64
    // (Test's own lie at 32), each against the result at 64-byte alignment.
    const std::vector<OperandPair> pairs = ContractOperands();
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const std::string where = PairText(p);
        const Matrix4 aligned = Call(entry, pairs[p].a, pairs[p].b, FilledWithBits(0), 0, where.c_str());
        for (std::size_t offset : {16, 32, 48}) {
            const Matrix4 got = Call(entry, pairs[p].a, pairs[p].b, FilledWithBits(0), offset, where.c_str());
            const int k = FirstDifference(got, aligned);
            if (k >= 0) {
                return Failed(kCheck, "with the matrices " + std::to_string(offset) +
                                          " bytes past a 64-byte boundary, element " + ElementName(k) + " is " +
                                          FloatText(got.m[k / 4][k % 4]) + ", at the boundary " +
                                          FloatText(aligned.m[k / 4][k % 4]) + " (" + where + ")");
            }
        }
    }
    return Passed(kCheck, "the same result with the three matrices 0, 16, 32 and 48 bytes past a 64-byte boundary");
}

std::string Describe(int pair, int k, float got, float expected)
{
    return "element " + ElementName(k) + " of operand pair " + std::to_string(pair) + " is " + FloatText(got) +
           ", should be " + FloatText(expected);
}

// Equal element by element, any NaN equal to any NaN.
bool SameResults(const Matrix4 &x, const Matrix4 &y)
{
    for (int k = 0; k < 16; ++k) {
        if (!SameResult(x.m[k / 4][k % 4], y.m[k / 4][k % 4])) {
            return false;
        }
    }
    return true;
}


// The two factors of a product on one operand pair: a, b for a*b and b, a
// for b*a.
std::pair<const Matrix4 &, const Matrix4 &> Factors(const OperandPair &pair, Product product)
{
    if (product == Product::AB) {
        return {pair.a, pair.b};
    }
    return {pair.b, pair.a};
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

// How well the kernel's results fit one product, each result transposed
// first when asked (then the rounding models are not tried).
Fit FitProduct(const std::vector<Matrix4> &results, const std::vector<OperandPair> &pairs, Product product,
               bool transposed)
{
    Fit fit;
    std::fill(std::begin(fit.modelsMatch), std::end(fit.modelsMatch), !transposed);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const Matrix4 got = transposed ? Transposed(results[p]) : results[p];
        const auto [x, y] = Factors(pairs[p], product);
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
            if (fit.modelsMatch[m]) {
                fit.modelsMatch[m] = SameResults(got, ModelProduct(kRoundingModels[m], x, y));
            }
        }
    }
    return fit;
}

// Whether the kernel computes the product a fit is of: its worst error
// still below the size of the terms themselves (2^22 bounds is
// sum |x*y|), so that a kernel that merely rounds badly still computes it.
bool Computes(const Fit &fit)
{
    return fit.worst < 0x1p22;
}

// For a kernel that computes neither product: the well-known wrong result
// it gives on every operand pair, as Latency names it (a product
// transposed, within its rounding, or an operand returned unchanged);
// empty when it gives none of them.
std::string WrongProductName(const std::vector<Matrix4> &results, const std::vector<OperandPair> &pairs)
{
    for (Product product : kProducts) {
        if (Computes(FitProduct(results, pairs, product, true))) {
            return TransposedProductText(ProductName(product));
        }
    }
    for (const bool first : {true, false}) {
        bool same = true;
        for (std::size_t p = 0; p < pairs.size() && same; ++p) {
            same = SameResults(results[p], first ? pairs[p].a : pairs[p].b);
        }
        if (same) {
            return ReturnedUnchangedText(first ? "operand a" : "operand b");
        }
    }
    return {};
}

// How an element differs from a rounding model's, in the terms a kernel
// author looks for, in the order they are told.
enum class Deviation { NotFinite, FlushedToZero, LastPlace, ZeroSign, Count };

Deviation Classify(float got, float model)
{
    if (!std::isfinite(got) || !std::isfinite(model)) {
        return Deviation::NotFinite;
    }
    if (got == 0 && model == 0) {
        return Deviation::ZeroSign;
    }
    if (got == 0 && std::fpclassify(model) == FP_SUBNORMAL) {
        return Deviation::FlushedToZero;
    }
    return Deviation::LastPlace;
}

// How many floats apart two finite values are (units in the last place).
std::uint32_t UlpsApart(float x, float y)
{
    const auto ordered = [](float v) {
        const std::uint32_t bits = BitsOf(v);
        const auto magnitude = static_cast<std::int64_t>(bits & 0x7FFFFFFFu);
        return (bits & 0x80000000u) != 0 ? -magnitude : magnitude;
    };
    const std::int64_t d = ordered(x) - ordered(y);
    return static_cast<std::uint32_t>(d < 0 ? -d : d);
}

// Where the kernel's results differ from one rounding model's.
struct Deviations {
    int count = 0;
    bool seen[static_cast<int>(Deviation::Count)] = {};
    std::uint32_t maxUlps = 0;
    // Every zero of the other sign is +0 where the model gives -0.
    bool zerosPositive = true;
    int firstPair = -1;
    int firstElement = 0;
    float firstGot = 0;
    float firstModel = 0;
};

Deviations CompareWithModel(RoundingModel model, const std::vector<Matrix4> &results,
                            const std::vector<OperandPair> &pairs, Product product)
{
    Deviations d;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const auto [x, y] = Factors(pairs[p], product);
        const Matrix4 expected = ModelProduct(model, x, y);
        for (int k = 0; k < 16; ++k) {
            const float got = results[p].m[k / 4][k % 4];
            const float want = expected.m[k / 4][k % 4];
            if (SameResult(got, want)) {
                continue;
            }
            const Deviation kind = Classify(got, want);
            d.seen[static_cast<int>(kind)] = true;
            if (kind == Deviation::LastPlace) {
                d.maxUlps = std::max(d.maxUlps, UlpsApart(got, want));
            }
            if (kind == Deviation::ZeroSign && std::signbit(got)) {
                d.zerosPositive = false;
            }
            if (d.count++ == 0) {
                d.firstPair = static_cast<int>(p);
                d.firstElement = k;
                d.firstGot = got;
                d.firstModel = want;
            }
        }
    }
    return d;
}

std::string DifferenceText(RoundingModel model, const Deviations &d, std::size_t elements)
{
    std::vector<std::string> kinds;
    const auto seen = [&](Deviation kind) { return d.seen[static_cast<int>(kind)]; };
    if (seen(Deviation::NotFinite)) {
        kinds.emplace_back("infinities or NaN");
    }
    if (seen(Deviation::FlushedToZero)) {
        kinds.emplace_back("subnormal results flushed to zero");
    }
    if (seen(Deviation::LastPlace)) {
        kinds.push_back(d.maxUlps == 1 ? std::string("the last place (1 ulp)")
                                       : "values up to " + std::to_string(d.maxUlps) + " ulps apart");
    }
    if (seen(Deviation::ZeroSign)) {
        kinds.emplace_back("the sign of a zero result");
    }
    std::string what;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        what += (i == 0 ? "" : i + 1 == kinds.size() ? " and " : ", ") + kinds[i];
    }
    // Starting the sum from +0 rather than from the first product turns a
    // -0 result into +0 and changes nothing else; the outer-product model
    // starts from +0 itself.
    if (seen(Deviation::ZeroSign) && d.zerosPositive && model != RoundingModel::OuterProduct) {
        what += ": the sum started from +0";
    }
    const std::string name(RoundingModelName(model));
    return "as " + name + " but for " + what + " (" + std::to_string(d.count) + " of " + std::to_string(elements) +
           " elements differ; the first: element " + ElementName(d.firstElement) + " of operand pair " +
           std::to_string(d.firstPair) + " is " + FloatText(d.firstGot) + ", " + name + " gives " +
           FloatText(d.firstModel) + ")";
}

// The rounding model the kernel's results differ from in the fewest
// elements, the first in kRoundingModels on a tie. For a kernel that
// matches none.
NearestModel FindNearestModel(const std::vector<Matrix4> &results, const std::vector<OperandPair> &pairs,
                              Product product)
{
    NearestModel nearest{kRoundingModels[0], 0, {}};
    Deviations best;
    for (std::size_t m = 0; m < kRoundingModels.size(); ++m) {
        const Deviations d = CompareWithModel(kRoundingModels[m], results, pairs, product);
        if (m == 0 || d.count < best.count) {
            best = d;
            nearest.model = kRoundingModels[m];
        }
    }
    nearest.differingElements = best.count;
    nearest.difference = DifferenceText(nearest.model, best, 16 * results.size());
    return nearest;
}

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

const std::string &FirstStateChange()
{
    return g_firstStateChange;
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
    std::vector<Matrix4> results(pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        // The matrices at each 16-byte offset within 64 in turn.
        const std::string where = "operand pair " + std::to_string(p);
        results[p] = Call(entry, pairs[p].a, pairs[p].b, FilledWithBits(kUnwritten), 16 * (p % 4), where.c_str());
    }
    Fit fits[kProducts.size()];
    for (std::size_t which = 0; which < kProducts.size(); ++which) {
        fits[which] = FitProduct(results, pairs, kProducts[which], false);
    }

    ArithmeticFindings findings;
    // The product is the one whose worst error is smaller, when the kernel
    // computes it at all.
    const std::size_t best = fits[1].worst < fits[0].worst ? 1 : 0;
    const Fit &fit = fits[best];
    const std::string pairsText = std::to_string(pairs.size()) + " operand pairs";
    findings.worstError = fit.worst;
    if (Computes(fit)) {
        findings.product = kProducts[best];
        findings.checks.push_back(
            {std::string(kProductCheck), true, std::string(ProductName(kProducts[best])) + " on " + pairsText});
    } else {
        const Fit &ab = fits[0];
        const std::string named = WrongProductName(results, pairs);
        findings.checks.push_back({std::string(kProductCheck), false,
                                   "neither; " + (named.empty() ? "" : named + "; ") + "against a*b, " +
                                       Describe(ab.worstPair, ab.worstElement, ab.worstGot, ab.worstExact)});
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
        if (findings.rounding.empty()) {
            findings.nearest = FindNearestModel(results, pairs, *findings.product);
        }
    }
    return findings;
}
