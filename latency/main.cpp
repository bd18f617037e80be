// Latency: times a kernel in a dependent chain, each call's result being the
// next call's operand, through the first operand and then through the
// second, and checks the chain's results against their exact values. Test
// measures how many independent calls a core gets through; this measures
// how long one call takes when the next one waits for it.
//
// Exit status 0 when timed and correct (or registered as computing nothing),
// 1 when timed but the chain's results are wrong, 2 when not run.
#include "dependent_chain.h"
#include "feature_gate.h"
#include "kernel_binding.h"
#include "kernel_registry.h"
#include "latency_report.h"
#include "library_loader.h"
#include "plain_decimal.h"
#include "process.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr char kUsage[] = "Usage: Latency [--json] <library> <procedure> <count> [features needed]\n"
                          "  count: calls in each chain, 1 to 2147483647; features: a decimal mask, as for Test\n";

// The calls checked one by one before each timed chain: two full turns of
// the fixed operand's powers. They also warm the caches and the predictors.
constexpr int kCheckedCalls = 16;

// The build's kernel list, beside the program; empty when there is none.
std::string ReadKernelList()
{
    const std::string directory = platform::ProgramDirectory();
    if (directory.empty()) {
        return {};
    }
    std::ifstream file(directory + "/kernels.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Times one chain, after checking its first calls unless the kernel is not
// judged. Returns what was wrong, empty when nothing was.
std::string RunChain(KernelEntry entry, latency::Operand through, std::uint32_t count, bool judged,
                     std::optional<latency::Product> &product, std::optional<double> &ticksPerCall)
{
    std::string wrong;
    if (judged) {
        const latency::ChainCheck first = latency::CheckFirstCalls(entry, through, kCheckedCalls, product);
        product = first.product;
        wrong = first.detail;
    } else {
        latency::CheckFirstCalls(entry, through, kCheckedCalls, latency::Product::AB);
    }
    const latency::ChainTiming timing = latency::TimeChain(entry, through, count);
    ticksPerCall = static_cast<double>(timing.ticks) / count;
    if (judged && wrong.empty() && product) {
        wrong = latency::CheckLast(timing, count, through, *product).detail;
    }
    return wrong;
}

LatencyResult Measure(const char *library, const char *procedure, std::uint32_t count, FeatureMask mask)
{
    LatencyResult r;
    r.library = library;
    r.procedure = procedure;
    r.count = count;
    if (mask != 0 && !feature::CheckFeatures(mask)) {
        r.reason = "this processor or its operating system lacks " + feature::MissingFeatures(mask);
        return r;
    }
    std::string why;
    const platform::LibraryHandle handle = platform::OpenLibrary(library, &why);
    if (handle == nullptr) {
        r.reason = "the library could not be loaded: " + why;
        return r;
    }
    void *const symbol = platform::FindProcedure(handle, procedure, &why);
    if (symbol == nullptr) {
        r.reason = why;
        platform::CloseLibrary(handle);
        return r;
    }
    const KernelEntry entry = AsKernelEntry(symbol);
    const bool judged = !RegisteredAsComputingNothing(ReadKernelList(), platform::FindFileName(library), procedure);

    const std::string wrongA = RunChain(entry, latency::Operand::A, count, judged, r.product, r.throughA);
    const std::string wrongB = RunChain(entry, latency::Operand::B, count, judged, r.product, r.throughB);
    if (!judged) {
        r.verdict = LatencyResult::Verdict::NotJudged;
        r.reason = "registered as computing nothing";
        r.product.reset();
    } else if (!wrongA.empty() || !wrongB.empty()) {
        r.verdict = LatencyResult::Verdict::Wrong;
        r.reason = !wrongA.empty() ? wrongA : wrongB;
    } else {
        r.verdict = LatencyResult::Verdict::Correct;
    }
    platform::CloseLibrary(handle);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    platform::InitProcess(argc, argv);
    // What the kernel or its library prints must not mix with the report.
    platform::ReserveStdoutForReport();
    int first = 1;
    const bool json = argc > 1 && std::string_view(argv[1]) == "--json";
    if (json) {
        ++first;
    }
    const int positional = argc - first;
    if (positional < 3 || positional > 4 || *argv[first] == '\0' || *argv[first + 1] == '\0') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::optional<std::uint64_t> count = ParsePlainDecimal(argv[first + 2], 0x7FFFFFFF);
    const std::optional<std::uint64_t> mask =
        positional == 4 ? ParsePlainDecimal(argv[first + 3], 0xFFFFFFFF) : std::optional<std::uint64_t>(0);
    if (!count || *count == 0 || !mask) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const LatencyResult r = Measure(argv[first], argv[first + 1], static_cast<std::uint32_t>(*count),
                                    static_cast<FeatureMask>(*mask));
    if (r.verdict == LatencyResult::Verdict::NotRun && !json) {
        std::fputs(("Latency: not run: " + r.reason + "\n").c_str(), stderr);
    } else {
        platform::WriteStdout(json ? JsonReport(r) : TextReport(r));
    }
    return r.ExitStatus();
}
