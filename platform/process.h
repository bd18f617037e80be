// The process's own services: its start and end, its standard output, where
// its program file lies, the clocks, the thread's last-error value and
// local memory, in the terms of the Windows services they stand for. Each
// system's file (unix/process.cpp, win/process.cpp) provides them.
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

// The running program's file, as a path; empty when it cannot be told.
// Under an emulator that runs the program (qemu-user), the program's own
// file, not the emulator's.
std::string ProgramPath();

// The directory the running program's file is in, without a trailing
// separator; empty when it cannot be told.
std::string ProgramDirectory();

// Milliseconds from an arbitrary start, wrapping at 2^32.
std::uint32_t GetTickCount();

// The monotonic clock in nanoseconds from an arbitrary start: what stands
// in for the processor's counter where the processor has none.
std::uint64_t MonotonicClockNanoseconds();

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
