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
    switch (chain) {
    case Chain::Exact:
    case Chain::NotJudged:
        return 0;
    case Chain::Wrong:
        return 1;
    case Chain::NotRun:
        return 2;
    }
    return 2;
}

std::string TextReport(const LatencyResult &r)
{
    std::string text = "Library:     " + r.library + "\nProcedure:   " + r.procedure + "\nCount:       " +
                       std::to_string(r.count) + " calls in each chain\nThrough a:   " + Ticks(r.throughA) +
                       "\nThrough b:   " + Ticks(r.throughB) + "\nCounter:     " + kClockTickUnit + "\n";
    text += "Product:     " + std::string(r.product ? ProductName(*r.product) : "-") + "\n";
    switch (r.chain) {
    case LatencyResult::Chain::Exact:
        return text + "Chain:       stayed exact\n";
    case LatencyResult::Chain::Wrong:
        return text + "Chain:       wrong: " + r.reason + "\n";
    case LatencyResult::Chain::NotJudged:
        return text + "Chain:       not judged: " + r.reason + "\n";
    case LatencyResult::Chain::NotRun:
        break;
    }
    return text + "Chain:       not run: " + r.reason + "\n";
}

std::string JsonReport(const LatencyResult &r)
{
    const char *exact = r.chain == LatencyResult::Chain::Exact   ? "true"
                        : r.chain == LatencyResult::Chain::Wrong ? "false"
                                                                 : "null";
    return "{\"library\": " + JsonString(r.library) + ", \"procedure\": " + JsonString(r.procedure) +
           ", \"count\": " + std::to_string(r.count) + ", \"through_a\": " + JsonTicks(r.throughA) +
           ", \"through_b\": " + JsonTicks(r.throughB) + ", \"counter\": " + JsonString(kClockTickUnit) +
           ", \"chain_exact\": " + exact + ", \"product\": " +
           (r.product ? JsonString(ProductName(*r.product)) : std::string("null")) +
           ", \"reason\": " + JsonString(r.reason) + ", \"missing_features\": " + JsonStringList(r.missingFeatures) +
           ", \"computes_nothing\": " + (r.computesNothing ? "true" : "false") + "}\n";
}
