// What Latency found, and its two reports: text for a person, JSON for the
// bench and other scripts.
#pragma once

#include "dependent_chain.h"

#include <cstdint>
#include <optional>
#include <string>

struct LatencyResult {
    enum class Verdict { Correct, Wrong, NotJudged, NotRun };

    std::string library;
    std::string procedure;
    std::uint32_t count = 0;
    // Clock ticks per call, chained through each operand; empty when not run.
    std::optional<double> throughA;
    std::optional<double> throughB;
    Verdict verdict = Verdict::NotRun;
    std::optional<latency::Product> product;
    // Why it was not run, why it was not judged, or what was wrong.
    std::string reason;

    // 0 timed and correct or not judged, 1 timed but wrong, 2 not run.
    int ExitStatus() const;
};

std::string TextReport(const LatencyResult &r);
std::string JsonReport(const LatencyResult &r);
