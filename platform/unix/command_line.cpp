// The command line on Linux: the system hands a program its arguments, not
// a text, so the text is rebuilt from them.
#include "command_line.h"

#include <string>
#include <string_view>
#include <utility>

namespace platform {
namespace {

std::string g_commandLine;

// What the command line names the program when its own name cannot hold
// the first slot: empty, missing, or impossible to quote whole.
constexpr char kProgramStandIn[] = "Test";

// Writes one argument the way the tokenizer splits it back.
void AppendArgument(std::string &text, std::string_view arg)
{
    if (!ArgNeedsQuoting(arg)) {
        text += arg;
        return;
    }
    // An argument holding all four quote characters is wrapped in the
    // first; it splits where the tokenizer meets that character.
    const char fitting = ArgQuoteFor(arg);
    const char quote = fitting != '\0' ? fitting : kArgQuotes[0];
    text += quote;
    text += arg;
    text += quote;
}

} // namespace

// Rebuilds the single command-line text that Windows hands a program: the
// arguments joined by single blanks, each one that needs it wrapped in
// quotes, so that splitting the text gives the arguments back. The program's
// own slot always makes exactly one token, so that the library is always
// the second.
void SetCommandLine(int argc, char **argv)
{
    std::string_view program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    if (program.empty() || (ArgNeedsQuoting(program) && ArgQuoteFor(program) == '\0')) {
        program = kProgramStandIn;
    }
    std::string text;
    AppendArgument(text, program);
    for (int i = 1; i < argc; ++i) {
        text += ' ';
        AppendArgument(text, argv[i]);
    }
    g_commandLine = std::move(text);
}

const char *GetCommandLineText()
{
    return g_commandLine.c_str();
}

} // namespace platform
