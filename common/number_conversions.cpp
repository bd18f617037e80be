#include "number_conversions.h"

#include "cpu_instructions.h"

#include <cstring>

namespace {

// Accumulates decimal digits as the parsers do: 32-bit wrap-around, with
// each byte contributing (byte - '0') mod 256. stopAtHigh ends the scan at
// the first contribution of 128 or more.
std::uint32_t Accumulate(const char *text, bool stopAtHigh)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    const bool negative = *p == '-';
    if (negative) {
        ++p;
    }
    std::uint32_t value = 0;
    for (; *p != 0; ++p) {
        const std::uint8_t digit = static_cast<std::uint8_t>(*p - '0');
        if (stopAtHigh && digit >= 128) {
            break;
        }
        value = value * 10u + digit;
    }
    return negative ? 0u - value : value;
}

// Five decimal digits of x (below 100000): one multiplication by
// 2^32 / 10000 rounded up leaves the first digit in the high word, then each
// multiplication of the low word by 10 moves the next one there.
void FiveDigits(std::uint32_t x, char (&digits)[5])
{
    std::uint64_t product = std::uint64_t{x} * 429497u;
    digits[0] = static_cast<char>('0' + (product >> 32));
    for (int i = 1; i < 5; ++i) {
        product = (product & 0xFFFFFFFFu) * 10u;
        digits[i] = static_cast<char>('0' + (product >> 32));
    }
}

constexpr std::uint64_t kTen18 = 1000000000000000000ull;
constexpr std::uint64_t kTen19 = 10000000000000000000ull;

} // namespace

namespace numbers {

std::int32_t ParseCount(const char *text)
{
    return static_cast<std::int32_t>(Accumulate(text, true));
}

FeatureMask ParseFeatures(const char *text)
{
    return Accumulate(text, false);
}

std::int32_t FormatI32(std::int32_t value, char *dest)
{
    char *out = dest;
    std::uint32_t magnitude = static_cast<std::uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    // magnitude / 100000 as the bits from 48 up of one 64-bit product.
    const std::uint32_t high = static_cast<std::uint32_t>((std::uint64_t{magnitude} * 0xA7C5AC48u) >> 48);
    const std::uint32_t low = magnitude - 100000u * high;
    char highDigits[5];
    char lowDigits[5];
    FiveDigits(high, highDigits);
    FiveDigits(low, lowDigits);
    bool started = false;
    if (high != 0) {
        for (char d : highDigits) {
            started = started || d != '0';
            if (started) {
                *out++ = d;
            }
        }
    }
    for (int i = 0; i < 5; ++i) {
        started = started || lowDigits[i] != '0' || i == 4;
        if (started) {
            *out++ = lowDigits[i];
        }
    }
    *out = '\0';
    return value;
}

void PackDecimal18Portable(std::uint64_t value, PackedDecimal18 &out)
{
    for (std::uint8_t &byte : out) {
        const auto low = static_cast<std::uint8_t>(value % 10);
        value /= 10;
        const auto high = static_cast<std::uint8_t>(value % 10);
        value /= 10;
        byte = static_cast<std::uint8_t>(high << 4 | low);
    }
}

void PackDecimal18(std::uint64_t value, PackedDecimal18 &out)
{
#if defined(MATMUL_CPU_X86)
    std::uint8_t stored[10];
    cpu::StorePackedBcd(value, stored);
    std::memcpy(out, stored, sizeof out);
#else
    PackDecimal18Portable(value, out);
#endif
}

void FormatU64(std::uint64_t value, char *dest)
{
    char *out = dest;
    if (value >= kTen18) {
        if (value >= kTen19) {
            *out++ = '1';
            value -= kTen19;
        }
        char digit = '0';
        while (value >= kTen18) {
            value -= kTen18;
            ++digit;
        }
        *out++ = digit;
    }
    const bool wroteTop = out != dest;

    PackedDecimal18 packed;
    PackDecimal18(value, packed);
    for (int i = 8; i >= 0; --i) {
        *out++ = static_cast<char>('0' + (packed[i] >> 4));
        *out++ = static_cast<char>('0' + (packed[i] & 0x0F));
    }
    *out = '\0';

    if (!wroteTop) {
        // Drop the leading zeros, keeping the last digit.
        std::size_t zeros = 0;
        while (zeros < 17 && dest[zeros] == '0') {
            ++zeros;
        }
        std::memmove(dest, dest + zeros, 18 - zeros + 1);
    }
}

} // namespace numbers
