// The POSIX layer rebuilds one command-line text from argv; splitting that
// text must give the arguments back as the shell passed them.
#include "command_line.h"
#include "process.h"
#include "tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> RoundTrip(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    platform::InitProcess(static_cast<int>(argv.size()), argv.data());
    const tokenizer::ArgList list = tokenizer::SplitArgs(&tokenizer::kArgSyntax, nullptr);
    std::vector<std::string> tokens;
    static char buffer[1 << 16];
    for (std::size_t i = 0; list && tokenizer::GetArg(list.get(), i, buffer) != nullptr; ++i) {
        tokens.emplace_back(buffer);
    }
    return tokens;
}

using Strings = std::vector<std::string>;

TEST(PosixCommandLine, JoinsWithSingleBlanksAndQuotesWhereNeeded)
{
    char *argv[] = {const_cast<char *>("Test"), const_cast<char *>("my lib.so"), const_cast<char *>(""),
                    const_cast<char *>("it's"), const_cast<char *>("'q"), const_cast<char *>("a\"b c'd")};
    platform::InitProcess(6, argv);
    EXPECT_STREQ(platform::GetCommandLineText(), "Test \"my lib.so\" \"\" it's \"'q\" `a\"b c'd`");
}

TEST(PosixCommandLine, SplittingGivesTheArgumentsBack)
{
    EXPECT_EQ(RoundTrip({"Test", "dir with blanks/lib.so", "proc", "10"}),
              (Strings{"Test", "dir with blanks/lib.so", "proc", "10"}));
    EXPECT_EQ(RoundTrip({"Test", "tab\there", "\"quoted\"", "`x'y\"z w`"}),
              (Strings{"Test", "tab\there", "\"quoted\"", "`x'y\"z w`"}));
    // An empty argument yields no token, as "" does on Windows.
    EXPECT_EQ(RoundTrip({"Test", "", "a"}), (Strings{"Test", "a"}));
}

TEST(PosixCommandLine, RandomArgumentsSurviveTheRoundTrip)
{
    std::mt19937 rng(7);
    const std::string alphabet = std::string("ab-9") + platform::kArgSeparators + platform::kArgQuotes;
    for (int round = 0; round < 2000; ++round) {
        Strings args{"Test"};
        Strings expected{"Test"};
        const int count = static_cast<int>(rng() % 5);
        for (int i = 0; i < count; ++i) {
            std::string arg;
            const int length = static_cast<int>(rng() % 6);
            for (int k = 0; k < length; ++k) {
                arg += alphabet[rng() % alphabet.size()];
            }
            // Only an argument that needs quoting and holds all four quote
            // characters cannot be written so that it splits back whole.
            if (platform::ArgNeedsQuoting(arg) && platform::ArgQuoteFor(arg) == '\0') {
                continue;
            }
            args.push_back(arg);
            if (!arg.empty()) {
                expected.push_back(arg);
            }
        }
        ASSERT_EQ(RoundTrip(args), expected) << "round " << round;
    }
}

} // namespace
