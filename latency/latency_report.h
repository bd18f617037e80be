// What Latency found, and its two reports: text for a person, JSON for the
// bench and other scripts.
#pragma once

#include "dependent_chain.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct LatencyResult {
    // What the chain check found: every result checked exact, one wrong (or
    // the kernel faulted in a chain), nothing checked (a kernel registered
    // as computing nothing), or not run. It speaks for the chains' inputs
    // alone: whether the kernel is correct is Verify's to judge.
    enum class Chain { Exact, Wrong, NotJudged, NotRun };

    std::string library;
    std::string procedure;
    std::uint32_t count = 0;
    // Clock ticks per call, chained through each operand; empty when not run.
    std::optional<double> throughA;
    std::optional<double> throughB;
    Chain chain = Chain::NotRun;
    std::optional<Product> product;
    // Why it was not run, why it was not judged, or what was wrong.
    std::string reason;
    // The features the kernel needs that this processor or its operating
    // system lacks, by the names the programs print.
    std::vector<std::string> missingFeatures;
    // The kernel list beside the program registers the kernel as computing
    // nothing.
    bool computesNothing = false;

    // 0 when the chains stayed exact or were not judged, 1 when one went
    // wrong, 2 when not run.
    int ExitStatus() const;
};

std::string TextReport(const LatencyResult &r);
std::string JsonReport(const LatencyResult &r);
