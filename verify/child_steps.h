// The steps Verify runs in a child process, one step a child, and the plain
// text the child answers with.
#pragma once

#include <string>
#include <vector>

#include "verification.h"

// What one child is asked: a step ("load", "arithmetic", or a contract
// check's index) for one kernel.
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

// Where a fault the child told of before it ended was: "an access to byte
// 1 past the end of b", or empty when it told of none.
std::string FaultPlace(const std::string &answer);
