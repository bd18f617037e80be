// Splits a command-line text into tokens under configurable separator and
// quote characters, and fetches a token by its index.
#pragma once

#include "command_line.h"

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

// The programs' argument syntax (platform/command_line.h), as the driver
// splits its command line under it.
inline constexpr TokenizerConfig kArgSyntax{0, platform::kArgSeparators, platform::kArgQuotes, nullptr, nullptr, 0, 0};

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
