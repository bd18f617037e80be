#include "verification.h"

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

// The length of the UTF-8 sequence starting at text[i], or 0 when it is not
// a well-formed one.
std::size_t Utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return 0;
        }
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

// A JSON string: well-formed UTF-8 is kept, and every other byte is written
// as the code point of the same value, so that any bytes give valid JSON.
std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
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
        text += "Rounding:    " + (rounding.empty() ? std::string("none of the models") : rounding) + "\n";
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
                       ", \"rounding\": [";
    for (std::size_t i = 0; i < v.rounding.size(); ++i) {
        json += (i == 0 ? "" : ", ") + JsonString(v.rounding[i]);
    }
    json += "], \"worst_error\": " + (v.arithmeticTried ? Number(v.worstError, "%.17g") : std::string("null")) +
            ", \"checks\": [";
    for (std::size_t i = 0; i < v.checks.size(); ++i) {
        const CheckResult &check = v.checks[i];
        json += std::string(i == 0 ? "" : ", ") + "{\"name\": " + JsonString(check.name) +
                ", \"passed\": " + (check.passed ? "true" : "false") + ", \"detail\": " + JsonString(check.detail) +
                "}";
    }
    return json + "]}\n";
}
