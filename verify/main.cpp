// Verify: checks a kernel against the kernel entry contract and checks its
// arithmetic, so that a kernel author knows whether its timings mean
// anything. Exit status 0 when the kernel is correct, 1 when it is wrong, 2
// when it could not be run.
#include "child_steps.h"
#include "isolation.h"
#include "kernel_loading.h"
#include "number_conversions.h"
#include "plain_decimal.h"
#include "processor_state.h"
#include "verification.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char kUsage[] = "Usage: Verify [--json] [--timeout SECONDS] <library> <procedure> [features needed]\n";
// Long enough for the arithmetic under an emulator or a sanitizer.
constexpr int kDefaultStepSeconds = 120;
constexpr int kMaxStepSeconds = 86400;
// Names the command Verify runs under where the processor cannot run it
// itself (an emulator and its arguments, separated by ';' as the build's
// emulator is): each child is started through it too.
constexpr char kEmulatorVariable[] = "MATMUL_EMULATOR";

// How each child runs: its time limit and the command it is started through.
struct ChildRuns {
    int seconds = kDefaultStepSeconds;
    std::vector<std::string> launcher;
};

std::vector<std::string> LauncherFromEnvironment()
{
    std::vector<std::string> parts;
    const char *text = std::getenv(kEmulatorVariable);
    for (std::string_view rest = text != nullptr ? text : ""; !rest.empty();) {
        const std::size_t end = std::min(rest.find(';'), rest.size());
        if (end > 0) {
            parts.emplace_back(rest.substr(0, end));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return parts;
}

// Runs one step for the kernel in a child. A build for another processor
// run without its emulator is told where to name one.
platform::ChildOutcome RunStepInChild(const std::string &step, const Verification &v, const ChildRuns &runs)
{
    platform::ChildOutcome outcome =
        platform::RunInChild(EncodeRequest(step, v.library, v.procedure), runs.seconds, runs.launcher);
    if (outcome.foreignProgram) {
        outcome.reason += std::string(" (under an emulator, name it in ") + kEmulatorVariable + ")";
    }
    return outcome;
}

// What the steps found beyond their checks, gathered over all of them.
struct Observed {
    int stepsAnswered = 0;       // steps whose child answered
    std::string firstFailure;    // how the first step that did not answer failed
    std::string stateChange;     // the first change to the processor state
    std::string leftBehind;      // the first thread or process left running
};

// Runs one step in a child. A fault, a hang or a missing answer fails each
// of the checks the step makes, with what happened. After a kernel that did
// not return, the remaining steps are not tried: each would wait as long.
void RunCheckStep(Verification &v, Observed &seen, const Step &step, const ChildRuns &runs, bool &hung)
{
    const std::vector<std::string_view> &names = step.checkNames;
    if (hung) {
        for (std::string_view name : names) {
            v.checks.push_back({std::string(name), false, "not tried: the kernel did not return in an earlier check"});
        }
        return;
    }
    const platform::ChildOutcome outcome = RunStepInChild(step.id, v, runs);
    const std::string during = "in the check \"" + std::string(names.front()) + "\"";
    if (outcome.leftProcess && seen.leftBehind.empty()) {
        seen.leftBehind = "a process the kernel started was still running after the calls, " + during;
    }
    std::string failure;
    StepNotes notes;
    switch (outcome.ended) {
    case platform::ChildOutcome::Ended::Normally:
        if (ReadAnswer(outcome.output, v, notes)) {
            ++seen.stepsAnswered;
            if (seen.stateChange.empty() && !notes.stateChange.empty()) {
                seen.stateChange = notes.stateChange + ", " + during;
            }
            if (seen.leftBehind.empty() && notes.threadsLeft > 0) {
                seen.leftBehind = std::to_string(notes.threadsLeft) +
                                  (notes.threadsLeft == 1 ? " thread" : " threads") +
                                  " the kernel started still running after the calls returned, " + during;
            }
            return;
        }
        failure = "the step ended without an answer";
        break;
    case platform::ChildOutcome::Ended::Fault: {
        const std::string place = FaultPlace(outcome.output);
        failure = "the kernel faulted: " + outcome.reason + (place.empty() ? "" : " on " + place);
        break;
    }
    case platform::ChildOutcome::Ended::TimedOut:
        failure = "the kernel did not return: " + outcome.reason;
        hung = true;
        v.returned = false;
        break;
    case platform::ChildOutcome::Ended::NotStarted:
        failure = "could not start a child process: " + outcome.reason;
        break;
    }
    if (seen.firstFailure.empty()) {
        seen.firstFailure = failure;
    }
    for (std::string_view name : names) {
        v.checks.push_back({std::string(name), false, failure});
    }
}

// The checks watched over every step: passed only when some step got as
// far as answering and none saw the fault.
std::vector<CheckResult> WatchedChecks(const Observed &seen)
{
    const auto check = [&](std::string_view name, const std::string &fault, const char *fine) -> CheckResult {
        if (!fault.empty()) {
            return {std::string(name), false, fault};
        }
        if (seen.stepsAnswered == 0) {
            return {std::string(name), false, "not seen: no check finished; " + seen.firstFailure};
        }
        return {std::string(name), true, fine};
    };
    return {check(kStateCheck, seen.stateChange, WatchedState()),
            check(kNothingRunningCheck, seen.leftBehind,
                  "no thread or process of the kernel's left running after any check")};
}

// Loads the library in a child first: a library whose start-up code faults
// must not take Verify down either. False, with the reason, when it cannot
// be run.
bool CanRun(Verification &v, const ChildRuns &runs)
{
    const platform::ChildOutcome outcome = RunStepInChild(kLoadStep, v, runs);
    if (outcome.ended == platform::ChildOutcome::Ended::NotStarted) {
        v.reason = "could not start a child process: " + outcome.reason;
        return false;
    }
    if (outcome.ended != platform::ChildOutcome::Ended::Normally) {
        v.reason = "the library could not be loaded: " + outcome.reason;
        return false;
    }
    StepNotes notes;
    if (!ReadAnswer(outcome.output, v, notes)) {
        if (v.reason.empty()) {
            v.reason = "the library could not be loaded";
        }
        return false;
    }
    return true;
}

Verification VerifyKernel(const std::string &library, const std::string &procedure, const char *maskText,
                          const ChildRuns &runs)
{
    Verification v;
    v.library = library;
    v.procedure = procedure;
    // Checked here, before any child is started; the children load the
    // kernel.
    const LoadedKernel features = CheckKernelFeatures(maskText != nullptr ? numbers::ParseFeatures(maskText) : 0);
    if (!features.Ready()) {
        v.missingFeatures = features.missingFeatures;
        v.reason = MissingFeaturesReason(features.missingFeatures);
        return v;
    }
    if (!CanRun(v, runs)) {
        return v;
    }
    bool hung = false;
    Observed seen;
    std::size_t contractChecks = 0;
    for (const Step &step : CheckSteps()) {
        RunCheckStep(v, seen, step, runs, hung);
        if (step.contract) {
            contractChecks = v.checks.size();
        }
    }
    // Reported with the contract's checks, once every step has been seen.
    const std::vector<CheckResult> watched = WatchedChecks(seen);
    v.checks.insert(v.checks.begin() + static_cast<std::ptrdiff_t>(contractChecks), watched.begin(), watched.end());
    v.verdict = Verification::Verdict::Correct;
    for (const CheckResult &check : v.checks) {
        if (!check.passed) {
            v.verdict = Verification::Verdict::Wrong;
            v.reason = check.name + ": " + check.detail;
            break;
        }
    }
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    platform::ServeIfChild(argc, argv, RunStep, WriteFaultLine);
    bool json = false;
    ChildRuns runs;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string_view arg = argv[first];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--timeout" && first + 1 < argc) {
            const std::optional<std::uint64_t> value = ParsePlainDecimal(argv[++first], kMaxStepSeconds);
            runs.seconds = value ? static_cast<int>(*value) : 0;
            if (runs.seconds <= 0) {
                std::fputs(kUsage, stderr);
                std::fputs("--timeout takes a whole number of seconds from 1 to 86400\n", stderr);
                return 2;
            }
        } else {
            break;
        }
    }
    const int positional = argc - first;
    if (positional < 2 || positional > 3 || *argv[first] == '\0' || *argv[first + 1] == '\0') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    runs.launcher = LauncherFromEnvironment();
    const Verification v =
        VerifyKernel(argv[first], argv[first + 1], positional == 3 ? argv[first + 2] : nullptr, runs);
    const std::string report = json ? JsonReport(v) : TextReport(v);
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
    return v.ExitStatus();
}
