// The process command line as one text, as Windows hands it to a program,
// and the argument syntax it is written in. Windows keeps that text itself;
// on Linux it is rebuilt from the arguments the process was started with
// (unix/command_line.cpp), quoted so that splitting it under this syntax
// gives them back.
#pragma once

#include <string_view>

namespace platform {

// The programs' argument syntax, the one place it is written: arguments are
// separated by blanks or tabs and may be quoted with '"', '\'', '`' or the
// byte 0xB4. The tokenizer splits the command line under it, and the Linux
// rebuild quotes for it.
inline constexpr char kArgSeparators[] = " \t";
inline constexpr char kArgQuotes[] = "\"'`\xB4";

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

// Where the system keeps no command-line text of its own, builds it from the
// process's arguments (InitProcess does this); elsewhere does nothing.
void SetCommandLine(int argc, char **argv);

// The process command line as one text, NUL-terminated; valid for the life
// of the process.
const char *GetCommandLineText();

} // namespace platform
