// Verify: checks a kernel against the kernel entry contract and checks its
// arithmetic, so that a kernel author knows whether its timings mean
// anything. Exit status 0 when the kernel is correct, 1 when it is wrong, 2
// when it could not be run.
#include "child_steps.h"
#include "feature_gate.h"
#include "isolation.h"
#include "number_conversions.h"
#include "verification.h"

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

namespace {

constexpr char kUsage[] = "Usage: Verify [--json] <library> <procedure> [features needed]\n";
// Long enough for the arithmetic under an emulator or a sanitizer.
constexpr int kStepSeconds = 120;

// Runs one step in a child. A fault, a hang or a missing answer fails each
// of the checks the step makes, with what happened. After a kernel that did
// not return, the remaining steps are not tried: each would wait as long.
void RunCheckStep(Verification &v, const std::string &step, std::initializer_list<std::string_view> names,
                  bool &hung)
{
    if (hung) {
        for (std::string_view name : names) {
            v.checks.push_back({std::string(name), false, "not tried: the kernel did not return in an earlier check"});
        }
        return;
    }
    const isolation::ChildOutcome outcome =
        isolation::RunInChild(RunStep, EncodeRequest(step, v.library, v.procedure), kStepSeconds);
    std::string failure;
    switch (outcome.ended) {
    case isolation::ChildOutcome::Ended::Normally:
        if (ReadAnswer(outcome.output, v)) {
            return;
        }
        failure = "the step ended without an answer";
        break;
    case isolation::ChildOutcome::Ended::Fault:
        failure = "the kernel faulted: " + outcome.how;
        break;
    case isolation::ChildOutcome::Ended::TimedOut:
        failure = "the kernel did not return: " + outcome.how;
        hung = true;
        break;
    case isolation::ChildOutcome::Ended::NotStarted:
        failure = "could not start a child process: " + outcome.how;
        break;
    }
    for (std::string_view name : names) {
        v.checks.push_back({std::string(name), false, failure});
    }
}

// Loads the library in a child first: a library whose start-up code faults
// must not take Verify down either. False, with the reason, when it cannot
// be run.
bool CanRun(Verification &v)
{
    const isolation::ChildOutcome outcome =
        isolation::RunInChild(RunStep, EncodeRequest("load", v.library, v.procedure), kStepSeconds);
    if (outcome.ended != isolation::ChildOutcome::Ended::Normally) {
        v.reason = "the library could not be loaded: " + outcome.how;
        return false;
    }
    if (!ReadAnswer(outcome.output, v)) {
        if (v.reason.empty()) {
            v.reason = "the library could not be loaded";
        }
        return false;
    }
    return true;
}

Verification VerifyKernel(const std::string &library, const std::string &procedure, const char *maskText)
{
    Verification v;
    v.library = library;
    v.procedure = procedure;
    if (maskText != nullptr) {
        const std::string missing = MissingFeatures(ParseFeatures(maskText));
        if (!missing.empty()) {
            v.reason = "this processor or its operating system lacks " + missing;
            return v;
        }
    }
    if (!CanRun(v)) {
        return v;
    }
    bool hung = false;
    for (std::size_t i = 0; i < kContractChecks.size(); ++i) {
        RunCheckStep(v, std::to_string(i), {ContractCheckName(kContractChecks[i])}, hung);
    }
    RunCheckStep(v, "arithmetic", {kProductCheck, kAccuracyCheck, kSpecialsCheck}, hung);
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
    isolation::ServeIfChild(argc, argv, RunStep);
    int first = 1;
    const bool json = argc > 1 && std::string_view(argv[1]) == "--json";
    if (json) {
        ++first;
    }
    const int positional = argc - first;
    if (positional < 2 || positional > 3 || *argv[first] == '\0' || *argv[first + 1] == '\0') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Verification v = VerifyKernel(argv[first], argv[first + 1], positional == 3 ? argv[first + 2] : nullptr);
    const std::string report = json ? JsonReport(v) : TextReport(v);
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
    return v.ExitStatus();
}
