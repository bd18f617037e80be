// Latency: times a kernel in a dependent chain, each call's result being the
// next call's operand, through the first operand and then through the
// second, and checks that each chain stayed exact. Test measures how many
// independent calls a core gets through; this measures how long one call
// takes when the next one waits for it. Whether the kernel is correct on
// every input is Verify's to judge.
//
// Exit status 0 when timed and both chains stayed exact (or the kernel is
// registered as computing nothing), 1 when a chain went wrong or the kernel
// faulted in one, 2 when not run.
#include "dependent_chain.h"
#include "fault_report.h"
#include "kernel_list.h"
#include "kernel_loading.h"
#include "latency_report.h"
#include "number_conversions.h"
#include "plain_decimal.h"
#include "process.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr char kUsage[] = "Usage: Latency [--json] <library> <procedure> <count> [features needed]\n"
                          "  count: calls in each chain, 1 to 2147483647; features: a mask, read as Test reads it\n";

// Whether the kernel list beside the program registers the loaded library's
// file and the procedure as computing nothing.
bool ComputesNothing(platform::LibraryHandle handle, const char *procedure)
{
    const std::string directory = platform::ProgramDirectory();
    const std::string file = platform::LibraryFilePath(handle);
    if (directory.empty() || file.empty()) {
        return false;
    }
    const std::filesystem::path listDirectory(directory);
    return RegisteredAsComputingNothing(ReadKernelList(listDirectory / "kernels.txt"), listDirectory, file,
                                        procedure);
}

// What a fault in the chain through `chain` ends the process with: the
// report so far, the chain wrong, and the fault named in the reason.
platform::FaultReport FaultReportFor(LatencyResult r, const char *chain, bool json)
{
    static constexpr char kFault[] = "<fault>";
    r.chain = LatencyResult::Chain::Wrong;
    r.reason = std::string("the kernel raised ") + kFault + " in the chain through " + chain;
    // The reason comes after the library's and the procedure's names, which
    // may hold anything, and nothing after it can hold the marker.
    const std::string text = json ? JsonReport(r) : TextReport(r);
    const std::size_t at = text.rfind(kFault);
    return {text.substr(0, at), text.substr(at + sizeof kFault - 1), r.ExitStatus()};
}

LatencyResult Measure(const char *library, const char *procedure, std::uint32_t count, FeatureMask mask, bool json)
{
    LatencyResult r;
    r.library = library;
    r.procedure = procedure;
    r.count = count;
    const LoadedKernel kernel = LoadKernel(library, procedure, mask);
    switch (kernel.failure) {
    case LoadedKernel::Failure::FeaturesMissing:
        r.missingFeatures = kernel.missingFeatures;
        r.reason = MissingFeaturesReason(kernel.missingFeatures);
        return r;
    case LoadedKernel::Failure::NotLoadable:
        r.reason = "the library could not be loaded: " + kernel.reason;
        return r;
    case LoadedKernel::Failure::NotExported:
        r.reason = kernel.reason;
        return r;
    case LoadedKernel::Failure::None:
        break;
    }
    const KernelEntry entry = kernel.entry;
    r.computesNothing = ComputesNothing(kernel.library, procedure);
    const bool judged = !r.computesNothing;

    const platform::FaultReport faultInA = FaultReportFor(r, "a", json);
    platform::ReportFaults(&faultInA);
    const latency::ChainOutcome a =
        latency::RunChain(entry, latency::Operand::A, count, latency::SeedFromClock(), judged, std::nullopt);
    r.throughA = static_cast<double>(a.ticks) / count;
    r.product = a.check.product;

    const platform::FaultReport faultInB = FaultReportFor(r, "b", json);
    platform::ReportFaults(&faultInB);
    const latency::ChainOutcome b =
        latency::RunChain(entry, latency::Operand::B, count, latency::SeedFromClock(), judged, a.check.product);
    platform::ReportFaults(nullptr);
    r.throughB = static_cast<double>(b.ticks) / count;

    if (!judged) {
        r.chain = LatencyResult::Chain::NotJudged;
        r.reason = "registered as computing nothing";
        r.product.reset();
    } else if (!a.check.Exact() || !b.check.Exact()) {
        r.chain = LatencyResult::Chain::Wrong;
        r.reason = !a.check.Exact() ? a.check.detail : b.check.detail;
    } else {
        r.chain = LatencyResult::Chain::Exact;
    }
    platform::CloseLibrary(kernel.library);
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
    if (!count || *count == 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // The mask as Test reads it, every text a mask: 4294967296 is 0.
    const FeatureMask mask = positional == 4 ? numbers::ParseFeatures(argv[first + 3]) : 0;
    const LatencyResult r = Measure(argv[first], argv[first + 1], static_cast<std::uint32_t>(*count), mask, json);
    if (r.chain == LatencyResult::Chain::NotRun && !json) {
        std::fputs(("Latency: not run: " + r.reason + "\n").c_str(), stderr);
    } else {
        platform::WriteStdout(json ? JsonReport(r) : TextReport(r));
    }
    return r.ExitStatus();
}
