#include "cpu_instructions.h"
#include "number_conversions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace {

template <typename T> std::string Decimal(T value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string ViaFormatI32(std::int32_t value)
{
    char text[numbers::kFormatI32Size + 4];
    std::fill(std::begin(text), std::end(text), '#');
    EXPECT_EQ(numbers::FormatI32(value, text), value);
    const std::string result(text);
    EXPECT_LE(result.size() + 1, numbers::kFormatI32Size);
    return result;
}

std::string ViaFormatU64(std::uint64_t value)
{
    char text[numbers::kFormatU64Size + 4];
    std::fill(std::begin(text), std::end(text), '#');
    numbers::FormatU64(value, text);
    const std::string result(text);
    EXPECT_LE(result.size() + 1, numbers::kFormatU64Size);
    return result;
}

TEST(ParseCount, DigitsSignsAndStops)
{
    EXPECT_EQ(numbers::ParseCount("250"), 250);
    EXPECT_EQ(numbers::ParseCount("-3"), -3);
    EXPECT_EQ(numbers::ParseCount("007"), 7);
    EXPECT_EQ(numbers::ParseCount(""), 0);
    EXPECT_EQ(numbers::ParseCount("-"), 0);
    // Bytes above '9' up to 0xAF add their code minus 48.
    EXPECT_EQ(numbers::ParseCount("12x"), 12 * 10 + ('x' - '0'));
    EXPECT_EQ(numbers::ParseCount("1\xAF"), 10 + (0xAF - '0'));
    // A blank, any byte below '0', and any byte from 0xB0 up stop the scan.
    EXPECT_EQ(numbers::ParseCount("1 2"), 1);
    EXPECT_EQ(numbers::ParseCount("12/3"), 12);
    EXPECT_EQ(numbers::ParseCount("4\xB0"
                         "5"),
              4);
    EXPECT_EQ(numbers::ParseCount("--5"), 0);
    EXPECT_EQ(numbers::ParseCount("2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(numbers::ParseCount("-2147483648"), std::numeric_limits<std::int32_t>::min());
    // 32-bit wrap-around.
    EXPECT_EQ(numbers::ParseCount("4294967297"), 1);
}

TEST(ParseFeatures, EveryByteCounts)
{
    EXPECT_EQ(numbers::ParseFeatures("6"), 6u);
    EXPECT_EQ(numbers::ParseFeatures("16"), 16u);
    EXPECT_EQ(numbers::ParseFeatures(""), 0u);
    EXPECT_EQ(numbers::ParseFeatures("-1"), 0xFFFFFFFFu);
    // No stop at a blank: (' ' - '0') mod 256 = 240.
    EXPECT_EQ(numbers::ParseFeatures("1 "), 10u + 240u);
    EXPECT_EQ(numbers::ParseFeatures("4294967296"), 0u);
}

TEST(FormatI32, EdgeValues)
{
    for (std::int32_t v : {0, 7, 9, 10, 99999, 100000, 100001, 999999, 1000000, 4294967, 2147483647, -1, -7,
                           -99999, -100000, std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_EQ(ViaFormatI32(v), Decimal(v)) << v;
    }
    EXPECT_EQ(ViaFormatI32(std::numeric_limits<std::int32_t>::min()), "-2147483648");
}

TEST(FormatI32, AgreesWithToCharsOverASweep)
{
    // Every value whose low five digits or high part sit at a boundary, then
    // a random sweep over the whole range.
    for (std::int32_t v = 0; v < 300000; ++v) {
        ASSERT_EQ(ViaFormatI32(v), Decimal(v));
    }
    for (std::int64_t high = 0; high <= 21474; ++high) {
        for (std::int64_t low : {0, 1, 9999, 10000, 99999}) {
            const std::int64_t v = high * 100000 + low;
            if (v <= std::numeric_limits<std::int32_t>::max()) {
                ASSERT_EQ(ViaFormatI32(static_cast<std::int32_t>(v)), Decimal(v));
                ASSERT_EQ(ViaFormatI32(static_cast<std::int32_t>(-v)), Decimal(-v));
            }
        }
    }
    std::mt19937 rng(1);
    for (int i = 0; i < 1000000; ++i) {
        const auto v = static_cast<std::int32_t>(rng());
        ASSERT_EQ(ViaFormatI32(v), Decimal(v));
    }
}

TEST(FormatU64, EdgeValues)
{
    EXPECT_EQ(ViaFormatU64(0), "0");
    EXPECT_EQ(ViaFormatU64(5), "5");
    EXPECT_EQ(ViaFormatU64(999999999999999999ull), std::string(18, '9'));
    EXPECT_EQ(ViaFormatU64(1000000000000000000ull), "1" + std::string(18, '0'));
    EXPECT_EQ(ViaFormatU64(10000000000000000005ull), "1" + std::string(18, '0') + "5");
    EXPECT_EQ(ViaFormatU64(9999999999999999999ull), std::string(19, '9'));
    EXPECT_EQ(ViaFormatU64(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    // Each power of ten and its neighbours, up to 10^19.
    for (std::uint64_t p = 1;; p *= 10) {
        EXPECT_EQ(ViaFormatU64(p), Decimal(p));
        EXPECT_EQ(ViaFormatU64(p - 1), Decimal(p - 1));
        EXPECT_EQ(ViaFormatU64(p + 1), Decimal(p + 1));
        if (p > std::numeric_limits<std::uint64_t>::max() / 10) {
            break;
        }
    }
}

TEST(FormatU64, AgreesWithToCharsOverASweep)
{
    std::mt19937_64 rng(2);
    for (int i = 0; i < 300000; ++i) {
        const std::uint64_t v = rng();
        ASSERT_EQ(ViaFormatU64(v), Decimal(v));
        // Values of every magnitude, not only the top of the range.
        const std::uint64_t shorter = v >> (rng() % 64);
        ASSERT_EQ(ViaFormatU64(shorter), Decimal(shorter));
    }
}

TEST(PackDecimal18, PortableAndProcessorConversionsAgree)
{
    std::mt19937_64 rng(3);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t v = (rng() >> (rng() % 64)) % 1000000000000000000ull;
        numbers::PackedDecimal18 portable;
        numbers::PackDecimal18Portable(v, portable);
        std::uint64_t back = 0;
        for (int k = 8; k >= 0; --k) {
            ASSERT_LE(portable[k] >> 4, 9);
            ASSERT_LE(portable[k] & 15, 9);
            back = back * 100 + static_cast<std::uint64_t>((portable[k] >> 4) * 10 + (portable[k] & 15));
        }
        ASSERT_EQ(back, v);
        numbers::PackedDecimal18 chosen;
        numbers::PackDecimal18(v, chosen);
        ASSERT_EQ(std::memcmp(chosen, portable, sizeof portable), 0) << v;
#if defined(MATMUL_CPU_X86)
        std::uint8_t stored[10];
        cpu::StorePackedBcd(v, stored);
        ASSERT_EQ(std::memcmp(stored, portable, sizeof portable), 0) << v;
        ASSERT_EQ(stored[9], 0) << "sign byte of a non-negative value";
#endif
    }
}

TEST(RoundedQuotient, NearestWithTiesToEven)
{
    using numbers::RoundedQuotient;
    // Exact halves go to the even neighbour, down as often as up.
    EXPECT_EQ(RoundedQuotient(5, 2), 2u);
    EXPECT_EQ(RoundedQuotient(7, 2), 4u);
    EXPECT_EQ(RoundedQuotient(1, 2), 0u);
    EXPECT_EQ(RoundedQuotient(3000, 400), 8u);
    EXPECT_EQ(RoundedQuotient(2500, 1000), 2u);
    // Just off a half, the nearer neighbour.
    EXPECT_EQ(RoundedQuotient(2501, 1000), 3u);
    EXPECT_EQ(RoundedQuotient(3499, 1000), 3u);
    EXPECT_EQ(RoundedQuotient(6, 3), 2u);
    EXPECT_EQ(RoundedQuotient(0, 7), 0u);
    // Totals and counts at the top of the range round without overflow.
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(RoundedQuotient(kMax, kMax), 1u);
    EXPECT_EQ(RoundedQuotient(kMax / 2, kMax - 1), 0u); // a half, to 0
    EXPECT_EQ(RoundedQuotient(kMax / 2 + 1, kMax), 1u);  // just above a half
    EXPECT_EQ(RoundedQuotient(kMax, 2), kMax / 2 + 1);   // a half, up to even
}

} // namespace
