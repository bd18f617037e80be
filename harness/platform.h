// The operating-system services the harness uses, in the terms of the
// Windows services they stand for. One implementation file per platform
// provides them; no other file of the harness includes an operating-system
// header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cpu_instructions.h"
#include "matmul_kernel.h"

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

// The process command line as one text, NUL-terminated; valid for the life
// of the process.
const char *GetCommandLineText();

// Milliseconds from an arbitrary start, wrapping at 2^32.
std::uint32_t GetTickCount();

// The processor's clock-tick counter: read inline where the processor has
// one, so that nothing but the read itself lies next to the timed loop;
// elsewhere the monotonic clock in nanoseconds stands in.
#if defined(MATMUL_CPU_X86) || defined(MATMUL_CPU_AARCH64)
inline std::uint64_t ReadTimeStampCounter()
{
    return cpu::ReadTimeStampCounter();
}
#else
std::uint64_t ReadTimeStampCounter();
#endif

// Run-time loading of a kernel library. OpenLibrary returns null when the
// library cannot be loaded; FindProcedure returns null when the name is not
// exported.
using LibraryHandle = void *;
LibraryHandle OpenLibrary(const char *path);
KernelEntry FindProcedure(LibraryHandle library, const char *name);
void CloseLibrary(LibraryHandle library);

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
