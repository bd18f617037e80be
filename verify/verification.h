// One verification of one kernel: what Verify found, and how it tells it.
#pragma once

#include <string>
#include <vector>

#include "kernel_checks.h"

struct Verification {
    enum class Verdict { Correct, Wrong, NotRun };

    std::string library;
    std::string procedure;
    Verdict verdict = Verdict::NotRun;
    // Why it was not run, or the first failed check; empty when correct.
    std::string reason;
    std::string product;               // "a*b", "b*a", or empty when neither
    std::vector<std::string> rounding; // model names
    // When a product fits and no model matches: the model that differs in
    // the fewest elements, how many, and how it differs, in words.
    std::string nearestModel;
    int nearestDiffering = 0;
    std::string nearestDifference;
    double worstError = 0;
    // Whether the arithmetic check finished: when it did not (the kernel
    // faulted or hung first), there is no product, rounding or worst error
    // to report.
    bool arithmeticTried = false;
    std::vector<CheckResult> checks;
    // The features the kernel needs that this processor or its operating
    // system lacks, by the names the programs print.
    std::vector<std::string> missingFeatures;
    // False when the kernel did not return in some check.
    bool returned = true;

    // 0 correct, 1 wrong, 2 not run.
    int ExitStatus() const;
};

// The report for people: one line per check, then the product, the
// rounding models, the worst error and the verdict.
std::string TextReport(const Verification &v);

// One JSON object, valid whatever bytes the library path or procedure
// name holds.
std::string JsonReport(const Verification &v);
