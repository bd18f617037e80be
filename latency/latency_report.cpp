#include "latency_report.h"

#include "clock_ticks.h"
#include "json_text.h"

#include <cstdio>

namespace {

std::string Ticks(const std::optional<double> &ticks)
{
    if (!ticks) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f ticks per call", *ticks);
    return text;
}

std::string JsonTicks(const std::optional<double> &ticks)
{
    return ticks ? JsonNumber(*ticks) : std::string("null");
}

} // namespace

int LatencyResult::ExitStatus() const
{
    switch (verdict) {
    case Verdict::Correct:
    case Verdict::NotJudged:
        return 0;
    case Verdict::Wrong:
        return 1;
    case Verdict::NotRun:
        return 2;
    }
    return 2;
}

std::string TextReport(const LatencyResult &r)
{
    std::string text = "Library:     " + r.library + "\nProcedure:   " + r.procedure + "\nCount:       " +
                       std::to_string(r.count) + " calls in each chain\nThrough a:   " + Ticks(r.throughA) +
                       "\nThrough b:   " + Ticks(r.throughB) + "\nCounter:     " + kClockTickUnit + "\n";
    text += "Product:     " + std::string(r.product ? latency::ProductName(*r.product) : "-") + "\n";
    switch (r.verdict) {
    case LatencyResult::Verdict::Correct:
        return text + "Verdict:     correct\n";
    case LatencyResult::Verdict::Wrong:
        return text + "Verdict:     wrong: " + r.reason + "\n";
    case LatencyResult::Verdict::NotJudged:
        return text + "Verdict:     not judged: " + r.reason + "\n";
    case LatencyResult::Verdict::NotRun:
        break;
    }
    return text + "Verdict:     not run: " + r.reason + "\n";
}

std::string JsonReport(const LatencyResult &r)
{
    const char *correct = r.verdict == LatencyResult::Verdict::Correct ? "true"
                          : r.verdict == LatencyResult::Verdict::Wrong ? "false"
                                                                        : "null";
    return "{\"library\": " + JsonString(r.library) + ", \"procedure\": " + JsonString(r.procedure) +
           ", \"count\": " + std::to_string(r.count) + ", \"through_a\": " + JsonTicks(r.throughA) +
           ", \"through_b\": " + JsonTicks(r.throughB) + ", \"counter\": " + JsonString(kClockTickUnit) +
           ", \"correct\": " + correct + ", \"product\": " +
           (r.product ? JsonString(latency::ProductName(*r.product)) : std::string("null")) +
           ", \"reason\": " + JsonString(r.reason) + "}\n";
}
