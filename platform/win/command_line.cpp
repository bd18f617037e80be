// The command line on Windows: the system keeps the text the program was
// started with.
#include "command_line.h"

#include <windows.h>

namespace platform {

void SetCommandLine(int, char **)
{
}

const char *GetCommandLineText()
{
    return ::GetCommandLineA();
}

} // namespace platform
