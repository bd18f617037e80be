// Fuzzes the POSIX command-line rebuild. The input, split at each NUL, is an
// argv (the first piece the program's name; no input at all is an empty
// argv). The rebuilt text must split back into the program slot, one token,
// then every non-empty argument in order: empty arguments yield no token,
// and an argument that needs quoting while holding all four quote
// characters cannot be written whole, so an argv holding one is only run.
#include "command_line.h"
#include "process.h"
#include "tokenizer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool Unquotable(std::string_view arg)
{
    return platform::ArgNeedsQuoting(arg) && platform::ArgQuoteFor(arg) == '\0';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> args;
    if (size > 0) {
        const std::string_view input(reinterpret_cast<const char *>(data), size);
        std::size_t start = 0;
        for (std::size_t nul; (nul = input.find('\0', start)) != std::string_view::npos; start = nul + 1) {
            args.emplace_back(input.substr(start, nul - start));
        }
        args.emplace_back(input.substr(start));
    }
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    platform::InitProcess(static_cast<int>(args.size()), argv.data());

    const tokenizer::ArgList list = tokenizer::SplitArgs(&tokenizer::kArgSyntax, nullptr);
    Check(list != nullptr);
    std::vector<std::string> tokens;
    std::vector<char> token(size + 16);
    for (std::size_t i = 0; tokenizer::GetArg(list.get(), i, token) != nullptr; ++i) {
        tokens.emplace_back(token.data());
    }

    // The program's slot is always there, and is the name itself whenever
    // that can be written whole.
    Check(!tokens.empty());
    if (!args.empty() && !args[0].empty() && !Unquotable(args[0])) {
        Check(tokens[0] == args[0]);
    }
    std::vector<std::string> expected;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (Unquotable(args[i])) {
            return 0;
        }
        if (!args[i].empty()) {
            expected.push_back(args[i]);
        }
    }
    Check(std::vector<std::string>(tokens.begin() + 1, tokens.end()) == expected);
    return 0;
}
