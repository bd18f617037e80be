// Fuzzes the tokenizer and the number conversions with arbitrary bytes. The
// input is cut at its first NUL and used as a command line, and as the
// text of a count and a mask.
#include "number_conversions.h"
#include "tokenizer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void CheckTokens(const std::string &text)
{
    const tokenizer::ArgList list = tokenizer::SplitArgs(&tokenizer::kArgSyntax, text.c_str());
    Check(list != nullptr);
    // Tokens are non-empty, never hold a NUL, and together never hold more
    // characters than the text.
    char token[512];
    std::size_t characters = 0;
    std::size_t index = 0;
    for (; tokenizer::GetArg(list.get(), index, token) != nullptr; ++index) {
        const std::size_t length = std::strlen(token);
        Check(length > 0);
        characters += length;
    }
    Check(characters <= text.size());
    Check(index <= text.size());
}

void CheckNumbers(const std::string &text)
{
    const std::int32_t count = numbers::ParseCount(text.c_str());
    char printed[numbers::kFormatI32Size];
    Check(numbers::FormatI32(count, printed) == count);
    Check(numbers::ParseCount(printed) == count);
    char expected[24];
    *std::to_chars(expected, expected + sizeof expected, count).ptr = '\0';
    Check(std::strcmp(printed, expected) == 0);

    const std::uint64_t wide =
        std::uint64_t{numbers::ParseFeatures(text.c_str())} << 32 | static_cast<std::uint32_t>(count);
    char wideText[numbers::kFormatU64Size];
    numbers::FormatU64(wide, wideText);
    *std::to_chars(expected, expected + sizeof expected, wide).ptr = '\0';
    Check(std::strcmp(wideText, expected) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *begin = reinterpret_cast<const char *>(data);
    const std::string text(begin, std::find(begin, begin + size, '\0'));
    if (text.size() > 511) {
        return 0; // the program cuts its command line to 511 characters
    }
    CheckTokens(text);
    CheckNumbers(text);
    return 0;
}
