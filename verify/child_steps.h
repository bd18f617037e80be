// The steps Verify runs in a child process, one step a child, and the plain
// text the child answers with.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "isolation.h"
#include "verification.h"

// One step a child runs: what a request calls it, the contract check it
// makes (none for the arithmetic), and the names of the checks its answer
// holds, in the order they are reported.
struct Step {
    std::string id;
    std::optional<ContractCheck> contract;
    std::vector<std::string_view> checkNames;
};

// The steps that check a kernel, in the order Verify runs and reports them:
// each contract check on its own, then the arithmetic.
const std::vector<Step> &CheckSteps();

// The step that only loads the library and finds the kernel, run first.
inline constexpr char kLoadStep[] = "load";

// What one child is asked: a step (kLoadStep, or the id of one of
// CheckSteps) for one kernel.
std::string EncodeRequest(const std::string &step, const std::string &library, const std::string &procedure);

// Runs in the child: loads the library, finds the kernel and runs the step.
// The answer is lines of tab-separated fields.
std::string RunStep(const std::string &request);

// What a step's answer says beside its checks: what the kernel left behind.
struct StepNotes {
    std::string stateChange; // the first change to the processor state
    int threadsLeft = 0;     // threads still running after the calls
};

// Adds what a child answered to the verification. Returns false when the
// answer says the kernel could not be loaded or found (the reason is set),
// or holds nothing the step should have answered.
bool ReadAnswer(const std::string &answer, Verification &v, StepNotes &notes);

// What the child answers when the kernel faults in a watched range, before
// the fault ends it: a line "fault<TAB>label<TAB>distance" (see
// platform::FaultLine), which FaultPlace reads.
std::size_t WriteFaultLine(const platform::WatchedRange &range, std::size_t distance, char *line,
                           std::size_t capacity);

// Where a fault the child told of before it ended was: "an access to byte
// 1 past the end of b", or empty when it told of none.
std::string FaultPlace(const std::string &answer);
