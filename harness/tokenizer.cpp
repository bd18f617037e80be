#include "tokenizer.h"

#include "command_line.h"
#include "process.h"

#include <array>
#include <cstring>

namespace {

using CharClass = std::array<bool, 256>;

CharClass MakeClass(const char *set)
{
    CharClass members{};
    if (set != nullptr) {
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(set); *p != 0; ++p) {
            members[*p] = true;
        }
    }
    return members;
}

bool IsFilled(const char *set)
{
    return set != nullptr && *set != '\0';
}

// The text's length plus its NUL must stay below this.
constexpr std::size_t kMaxTextSize = std::size_t{1} << 30;

} // namespace

namespace tokenizer {

void ArgListDeleter::operator()(char *block) const noexcept
{
    platform::LocalFree(block);
}

ArgList SplitArgs(const TokenizerConfig *config, const char *text)
{
    if (platform::GetLastError() == platform::kErrorBadArguments) {
        platform::SetLastError(0);
    }
    const TokenizerConfig settings = config != nullptr ? *config : TokenizerConfig{};
    if (IsFilled(settings.further1) || IsFilled(settings.further2)) {
        return nullptr;
    }
    if (text == nullptr) {
        text = platform::GetCommandLineText();
    }
    const std::size_t length = std::strlen(text);
    if (length + 1 >= kMaxTextSize) {
        return nullptr;
    }
    const std::size_t reserved = 4 * (length + 1);
    char *block = static_cast<char *>(platform::LocalAlloc(reserved));
    if (block == nullptr) {
        return nullptr;
    }

    const CharClass separator = MakeClass(settings.separators);
    const CharClass quote = MakeClass(settings.quotes);
    enum class State { Between, Unquoted, Quoted };
    State state = State::Between;
    unsigned char closing = 0;
    bool malformed = false;
    char *out = block;
    const char *tokenStart = block;

    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        const unsigned char c = *p;
        switch (state) {
        case State::Between:
            if (separator[c]) {
                break;
            }
            if (quote[c]) {
                state = State::Quoted;
                closing = c;
                tokenStart = out;
            } else {
                *out++ = static_cast<char>(c);
                state = State::Unquoted;
            }
            break;
        case State::Unquoted:
            if (separator[c]) {
                *out++ = '\0';
                state = State::Between;
            } else {
                *out++ = static_cast<char>(c);
            }
            break;
        case State::Quoted:
            if (c == closing) {
                if (out == tokenStart) {
                    malformed = true; // empty quotes make no token
                } else {
                    *out++ = '\0';
                }
                state = State::Between;
            } else {
                *out++ = static_cast<char>(c);
            }
            break;
        }
    }
    if (state == State::Quoted) {
        malformed = true; // the text ended inside quotes
    }
    // Ends the open token, if any, and adds the empty string that ends the list.
    *out++ = '\0';
    *out++ = '\0';

    if (malformed) {
        platform::SetLastError(platform::kErrorBadArguments);
    }
    const std::size_t used = static_cast<std::size_t>(out - block);
    if (void *shrunk = platform::LocalReAlloc(block, used)) {
        block = static_cast<char *>(shrunk);
    }
    return ArgList(block);
}

char *GetArg(const char *list, std::size_t index, std::span<char> dest)
{
    const char *token = list;
    for (std::size_t i = 0; i < index; ++i) {
        if (*token == '\0') {
            return nullptr;
        }
        token += std::strlen(token) + 1;
    }
    if (*token == '\0') {
        return nullptr;
    }
    const std::size_t size = std::strlen(token) + 1;
    if (size > dest.size()) {
        return nullptr;
    }
    std::memcpy(dest.data(), token, size);
    return dest.data();
}

} // namespace tokenizer
