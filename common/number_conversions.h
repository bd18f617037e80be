// Reads the numeric arguments, and formats and rounds the counts and times
// the program prints. All work on NUL-terminated 8-bit text in the caller's
// buffers; none allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "feature_gate.h"

namespace numbers {

inline constexpr std::size_t kFormatI32Size = 12; // sign, ten digits, NUL
inline constexpr std::size_t kFormatU64Size = 21; // twenty digits, NUL

// Decimal count with an optional leading '-'. The scan stops at the first
// byte b with (b - '0') mod 256 >= 128; bytes above '9' up to 0xAF are not
// rejected and add their code minus 48. 32-bit wrap-around arithmetic.
std::int32_t ParseCount(const char *text);

// Decimal mask with an optional leading '-'. Every byte up to the NUL adds
// (b - '0') mod 256; there is no other stop.
FeatureMask ParseFeatures(const char *text);

// Writes value in decimal into dest (at least kFormatI32Size bytes) with
// reciprocal multiplications only, and returns value.
std::int32_t FormatI32(std::int32_t value, char *dest);

// Writes value in decimal into dest (at least kFormatU64Size bytes): the
// top two digits by subtraction, the rest by one packed-decimal conversion.
void FormatU64(std::uint64_t value, char *dest);

// The 18 decimal digits of value (below 10^18) as packed BCD: two digits a
// byte, least significant byte first, low nibble the less significant digit.
using PackedDecimal18 = std::uint8_t[9];
void PackDecimal18(std::uint64_t value, PackedDecimal18 &out);
// The same by plain arithmetic, for processors without a decimal store.
void PackDecimal18Portable(std::uint64_t value, PackedDecimal18 &out);

// total / count (count > 0) rounded to the nearest integer, ties to even,
// exactly: the per-call figures of the report. Comparing the remainder with
// what is left of count keeps every count and total free of overflow.
constexpr std::uint64_t RoundedQuotient(std::uint64_t total, std::uint64_t count)
{
    std::uint64_t quotient = total / count;
    const std::uint64_t remainder = total % count;
    const std::uint64_t rest = count - remainder;
    if (remainder > rest || (remainder == rest && (quotient & 1) != 0)) {
        ++quotient;
    }
    return quotient;
}

} // namespace numbers
