#include "command_line.h"
#include "process.h"
#include "tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Tokens(const char *list)
{
    std::vector<std::string> tokens;
    char buffer[512];
    for (std::size_t i = 0; tokenizer::GetArg(list, i, buffer) != nullptr; ++i) {
        tokens.emplace_back(buffer);
    }
    return tokens;
}

struct Split {
    std::vector<std::string> tokens;
    std::uint32_t lastError;
};

Split SplitText(const char *text, const tokenizer::TokenizerConfig *config = &tokenizer::kArgSyntax)
{
    platform::SetLastError(0);
    const tokenizer::ArgList list = tokenizer::SplitArgs(config, text);
    EXPECT_NE(list, nullptr);
    if (!list) {
        return {{}, platform::GetLastError()};
    }
    return {Tokens(list.get()), platform::GetLastError()};
}

using Strings = std::vector<std::string>;

TEST(Tokenizer, SeparatorsAndRuns)
{
    EXPECT_EQ(SplitText("Test  lib.dll   proc 10").tokens, (Strings{"Test", "lib.dll", "proc", "10"}));
    EXPECT_EQ(SplitText("a\tb \t c").tokens, (Strings{"a", "b", "c"}));
    EXPECT_EQ(SplitText("  lead and trail \t ").tokens, (Strings{"lead", "and", "trail"}));
    EXPECT_EQ(SplitText("").tokens, Strings{});
    EXPECT_EQ(SplitText(" \t  ").tokens, Strings{});
    EXPECT_EQ(SplitText("one").lastError, 0u);
}

TEST(Tokenizer, QuotedTokens)
{
    EXPECT_EQ(SplitText("x 'my lib.dll' y").tokens, (Strings{"x", "my lib.dll", "y"}));
    EXPECT_EQ(SplitText("\"it's\"").tokens, Strings{"it's"});
    EXPECT_EQ(SplitText("`a \"b' c`").tokens, Strings{"a \"b' c"});
    EXPECT_EQ(SplitText("\xB4q `x\xB4").tokens, Strings{"q `x"});
    // A closing quote ends the token even without a separator after it.
    EXPECT_EQ(SplitText("\"ab\"cd").tokens, (Strings{"ab", "cd"}));
    EXPECT_EQ(SplitText("'a''b'").tokens, (Strings{"a", "b"}));
    // Quotes inside an unquoted token are ordinary characters.
    EXPECT_EQ(SplitText("a\"b c\"").tokens, (Strings{"a\"b", "c\""}));
    EXPECT_EQ(SplitText("'a b' c").lastError, 0u);
}

TEST(Tokenizer, MalformedQuotingIsReportedButStillSplit)
{
    const Split empty = SplitText("x \"\" y");
    EXPECT_EQ(empty.tokens, (Strings{"x", "y"}));
    EXPECT_EQ(empty.lastError, platform::kErrorBadArguments);

    const Split open = SplitText("a \"abc");
    EXPECT_EQ(open.tokens, (Strings{"a", "abc"}));
    EXPECT_EQ(open.lastError, platform::kErrorBadArguments);

    const Split bare = SplitText("a '");
    EXPECT_EQ(bare.tokens, Strings{"a"});
    EXPECT_EQ(bare.lastError, platform::kErrorBadArguments);
}

TEST(Tokenizer, LastErrorRule)
{
    // A stale malformed-quoting status is cleared on entry...
    platform::SetLastError(platform::kErrorBadArguments);
    ASSERT_NE(tokenizer::SplitArgs(&tokenizer::kArgSyntax, "fine text"), nullptr);
    EXPECT_EQ(platform::GetLastError(), 0u);
    // ...any other value is left as it was...
    platform::SetLastError(5);
    ASSERT_NE(tokenizer::SplitArgs(&tokenizer::kArgSyntax, "fine text"), nullptr);
    EXPECT_EQ(platform::GetLastError(), 5u);
    // ...unless the text is malformed.
    ASSERT_NE(tokenizer::SplitArgs(&tokenizer::kArgSyntax, "bad \"text"), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBadArguments);
}

TEST(Tokenizer, ConfigurationVariants)
{
    // No configuration: no separators, no quotes, the whole text one token.
    EXPECT_EQ(SplitText("a b \"c\"", nullptr).tokens, Strings{"a b \"c\""});
    const tokenizer::TokenizerConfig commas{0, ",", nullptr, nullptr, nullptr, 0, 0};
    EXPECT_EQ(SplitText("a,,b c,'d,e'", &commas).tokens, (Strings{"a", "b c", "'d", "e'"}));
    const tokenizer::TokenizerConfig emptySets{0, "", "", "", "", 0, 0};
    EXPECT_EQ(SplitText("a b", &emptySets).tokens, Strings{"a b"});
    // Bytes above 0x7F compare as unsigned bytes.
    const tokenizer::TokenizerConfig highSeparator{0, "\xE9", nullptr, nullptr, nullptr, 0, 0};
    EXPECT_EQ(SplitText("a\xE9z", &highSeparator).tokens, (Strings{"a", "z"}));

    tokenizer::TokenizerConfig further = tokenizer::kArgSyntax;
    further.further1 = "x";
    EXPECT_EQ(tokenizer::SplitArgs(&further, "a b"), nullptr);
    further = tokenizer::kArgSyntax;
    further.further2 = "y";
    EXPECT_EQ(tokenizer::SplitArgs(&further, "a b"), nullptr);
}

TEST(Tokenizer, GetArgBounds)
{
    const tokenizer::ArgList list = tokenizer::SplitArgs(&tokenizer::kArgSyntax, "zero one two ");
    ASSERT_NE(list, nullptr);
    char buffer[8];
    EXPECT_STREQ(tokenizer::GetArg(list.get(), 2, buffer), "two");
    EXPECT_EQ(tokenizer::GetArg(list.get(), 3, buffer), nullptr);
    EXPECT_EQ(tokenizer::GetArg(list.get(), 100, buffer), nullptr);

    // A token that would not fit is not copied at all.
    char tiny[4] = {'k', 'e', 'e', 'p'};
    EXPECT_EQ(tokenizer::GetArg(list.get(), 0, tiny), nullptr);
    EXPECT_EQ(std::string(tiny, 4), "keep");
    char exact[4];
    EXPECT_STREQ(tokenizer::GetArg(list.get(), 1, exact), "one");

    const tokenizer::ArgList empty = tokenizer::SplitArgs(&tokenizer::kArgSyntax, "");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(tokenizer::GetArg(empty.get(), 0, buffer), nullptr);
}

TEST(Tokenizer, NullTextSplitsTheProcessCommandLine)
{
    const tokenizer::ArgList list = tokenizer::SplitArgs(&tokenizer::kArgSyntax, nullptr);
    ASSERT_NE(list, nullptr);
    const Split expected = SplitText(platform::GetCommandLineText());
    EXPECT_EQ(Tokens(list.get()), expected.tokens);
}

} // namespace
