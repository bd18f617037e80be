// The strict number syntax of the programs' own options, where Test's
// lenient count and mask rules do not apply.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A plain decimal number no greater than max: digits only, at least one, no
// sign and no blank; empty otherwise.
inline std::optional<std::uint64_t> ParsePlainDecimal(std::string_view text, std::uint64_t max)
{
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}
