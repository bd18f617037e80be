// Splits a command-line text into tokens under configurable separator and
// quote characters, and fetches a token by its index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace tokenizer {

// Seven word-sized slots. A null or empty set means that class is empty.
// The two further sets are not used; a configuration that fills either is
// rejected.
struct TokenizerConfig {
    std::uintptr_t reserved0 = 0;
    const char *separators = nullptr;
    const char *quotes = nullptr;
    const char *further1 = nullptr;
    const char *further2 = nullptr;
    std::uintptr_t reserved1 = 0;
    std::uintptr_t reserved2 = 0;
};

struct ArgListDeleter {
    void operator()(char *block) const noexcept;
};

// One block holding the tokens one after another, each NUL-terminated, with
// an empty string after the last. No token is ever empty.
using ArgList = std::unique_ptr<char[], ArgListDeleter>;

// The program's argument syntax, the one place it is written: arguments are
// separated by blanks or tabs and may be quoted with '"', '\'', '`' or the
// byte 0xB4. The driver splits its command line with kArgSyntax, and the
// POSIX command-line rebuild quotes for it.
inline constexpr char kArgSeparators[] = " \t";
inline constexpr char kArgQuotes[] = "\"'`\xB4";
inline constexpr TokenizerConfig kArgSyntax{0, kArgSeparators, kArgQuotes, nullptr, nullptr, 0, 0};

// An argument that would not split back as it stands: empty, holding a
// separator, or opening with a quote character.
constexpr bool ArgNeedsQuoting(std::string_view arg)
{
    return arg.empty() || arg.find_first_of(kArgSeparators) != std::string_view::npos ||
           std::string_view(kArgQuotes).find(arg.front()) != std::string_view::npos;
}

// The first quote character the argument does not hold, which can wrap it
// whole; '\0' when it holds all four. Such an argument, when it needs
// quoting, cannot be written so that it splits back as one token.
constexpr char ArgQuoteFor(std::string_view arg)
{
    for (const char quote : std::string_view(kArgQuotes)) {
        if (arg.find(quote) == std::string_view::npos) {
            return quote;
        }
    }
    return '\0';
}

// Splits text (the process command line when null) under config (all sets
// empty when null). Returns null when the text is too long, the allocation
// fails or the configuration is rejected. Malformed quoting (an empty quoted
// token, or a quote left open) sets the thread's last-error value to
// platform::kErrorBadArguments; the list is still returned.
ArgList SplitArgs(const TokenizerConfig *config, const char *text);

// Copies token number index (from 0) into dest, NUL included, and returns
// dest.data(). Returns null, copying nothing, when the list ends before
// that index or the token does not fit in dest.
char *GetArg(const char *list, std::size_t index, std::span<char> dest);

} // namespace tokenizer
