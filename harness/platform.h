// The operating-system services the harness uses, in the terms of the
// Windows services they stand for. One implementation file per platform
// provides them; no other file of the harness includes an operating-system
// header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The thread's last-error value reported for malformed quoting.
inline constexpr std::uint32_t kErrorBadArguments = 160;

// Hands the process arguments to the layer before anything else runs. Where
// the system keeps the raw command line itself, they are not used.
void InitProcess(int argc, char **argv);

// Ends the process with the given status.
[[noreturn]] void ExitProcess(int status);

// Writes the bytes to standard output as they are. Errors, a closed or a
// full output included, are ignored.
void WriteStdout(std::string_view text);

// From here on, what anything else in the process writes to standard output
// (a kernel's debug lines, a library's start-up code) goes to standard error
// instead, while WriteStdout still reaches the real standard output: a
// report that a script parses stays whole. Call before loading a library.
void ReserveStdoutForReport();

// The directory the running program's file is in, without a trailing
// separator; empty when it cannot be told.
std::string ProgramDirectory();

// The process command line as one text, NUL-terminated; valid for the life
// of the process.
const char *GetCommandLineText();

// Milliseconds from an arbitrary start, wrapping at 2^32.
std::uint32_t GetTickCount();

// The monotonic clock in nanoseconds from an arbitrary start: what stands
// in for the processor's counter where the processor has none.
std::uint64_t MonotonicClockNanoseconds();

// Run-time loading of a library.
using LibraryHandle = void *;
// Loads the library; null when it cannot be. Where the system loader would
// hang or crash on a library rather than refuse it (on Linux: a FIFO, a file
// cut short, a dependency that is either, headers it takes on trust), the
// library is refused instead: the file is checked, the system loader tries
// it in a child process with a time limit, and only then is the very file
// checked loaded here. When reason is given, a failure puts one line there
// saying why, in words: the system loader's own message where it refused the
// library (dlerror's text; on Windows the system text of the last error,
// without its line end and full stop), what the checks made before loading
// found ("no such file", "not a regular file", "a directory", "not an ELF
// shared library for this machine", "cut short: a loadable segment lies past
// the end of the file", and the like), or how the trial load failed ("the
// system loader crashed loading it: ...", "... did not load it within 5 s:
// ..."). On success reason is left as it was.
LibraryHandle OpenLibrary(const char *path, std::string *reason = nullptr);
// The address of a function the library itself exports; null when it
// exports no such name, or when the name is not a function of its own. Names
// found only in the libraries it depends on do not count, and neither do
// data (a variable the library exports): its address does not lie in the
// library's code, and calling it would fault. When reason is given, a
// failure puts one line there saying why, in words ("the library does not
// export <name>", "<name> is not a function: a data symbol", and the like);
// on success reason is left as it was.
void *FindProcedure(LibraryHandle library, const char *name, std::string *reason = nullptr);
// Unloads the library, unless a thread started since it was loaded is still
// alive: that thread may be running the library's code, which unloading
// would take from under it. The library then stays loaded to the end of the
// process. Either way the handle is no longer valid.
void CloseLibrary(LibraryHandle library);

// The threads this process has now; -1 when the system does not say.
int ThreadCount();

// The file-name part of a path: what follows its last directory separator.
const char *FindFileName(const char *path);

// The calling thread's last-error value.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t value);

// One zero-filled block of local memory; null on failure.
void *LocalAlloc(std::size_t bytes);
// Resizes a block, which may move; null on failure, the old block intact.
void *LocalReAlloc(void *block, std::size_t bytes);
void LocalFree(void *block);

} // namespace platform
