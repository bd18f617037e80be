#include "verification.h"

#include "json_text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string_view>

namespace {

const char *VerdictName(Verification::Verdict verdict)
{
    switch (verdict) {
    case Verification::Verdict::Correct:
        return "correct";
    case Verification::Verdict::Wrong:
        return "wrong";
    case Verification::Verdict::NotRun:
        return "not run";
    }
    return "";
}

std::string Number(double value, const char *format)
{
    // JSON has no infinity: an unbounded error is the largest double.
    if (!std::isfinite(value)) {
        value = std::numeric_limits<double>::max();
    }
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

int Verification::ExitStatus() const
{
    switch (verdict) {
    case Verdict::Correct:
        return 0;
    case Verdict::Wrong:
        return 1;
    case Verdict::NotRun:
        return 2;
    }
    return 2;
}

std::string TextReport(const Verification &v)
{
    std::string text = "Library:     " + v.library + "\nProcedure:   " + v.procedure + "\n";
    if (v.verdict == Verification::Verdict::NotRun) {
        return text + "Verdict:     not run: " + v.reason + "\n";
    }
    for (const CheckResult &check : v.checks) {
        text += (check.passed ? "  passed  " : "  FAILED  ") + check.name + ": " + check.detail + "\n";
    }
    if (!v.arithmeticTried) {
        text += "Arithmetic:  not measured: the arithmetic check did not finish\n";
    } else {
        text += "Product:     " + (v.product.empty() ? std::string("neither a*b nor b*a") : v.product) + "\n";
        std::string rounding;
        for (const std::string &model : v.rounding) {
            rounding += (rounding.empty() ? "" : ", ") + model;
        }
        if (rounding.empty()) {
            rounding = "none of the models" +
                       (v.nearestModel.empty() ? std::string() : "; nearest: " + v.nearestDifference);
        }
        text += "Rounding:    " + rounding + "\n";
        text += "Worst error: " +
                (std::isfinite(v.worstError)
                     ? Number(v.worstError, "%.3g") + " of the bound 4u * sum |x[i][c] * y[c][j]|"
                     : std::string("unbounded: a result that is not finite")) +
                "\n";
    }
    text += std::string("Verdict:     ") + VerdictName(v.verdict);
    if (v.verdict == Verification::Verdict::Wrong) {
        text += ": " + v.reason;
    }
    return text + "\n";
}

std::string JsonReport(const Verification &v)
{
    std::string json = "{\"library\": " + JsonString(v.library) + ", \"procedure\": " + JsonString(v.procedure) +
                       ", \"verdict\": \"" + VerdictName(v.verdict) + "\", \"reason\": " + JsonString(v.reason) +
                       ", \"product\": " + (v.product.empty() ? std::string("null") : JsonString(v.product)) +
                       ", \"rounding\": " + JsonStringList(v.rounding) + ", \"nearest_model\": ";
    json += v.nearestModel.empty() ? std::string("null")
                                   : "{\"name\": " + JsonString(v.nearestModel) +
                                         ", \"differing_elements\": " + std::to_string(v.nearestDiffering) +
                                         ", \"difference\": " + JsonString(v.nearestDifference) + "}";
    json += ", \"worst_error\": " + (v.arithmeticTried ? Number(v.worstError, "%.17g") : std::string("null")) +
            ", \"checks\": [";
    for (std::size_t i = 0; i < v.checks.size(); ++i) {
        const CheckResult &check = v.checks[i];
        json += std::string(i == 0 ? "" : ", ") + "{\"name\": " + JsonString(check.name) +
                ", \"passed\": " + (check.passed ? "true" : "false") + ", \"detail\": " + JsonString(check.detail) +
                "}";
    }
    return json + "], \"missing_features\": " + JsonStringList(v.missingFeatures) +
           ", \"returned\": " + (v.returned ? "true" : "false") + "}\n";
}
