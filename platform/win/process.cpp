// The process's own services on Windows: the Win32 services themselves.
#include "process.h"

#include "command_line.h"
#include "module_path.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <io.h>

#include <windows.h>
#include <shlwapi.h>

namespace platform {
namespace {

HANDLE g_output = nullptr;

} // namespace

void InitProcess(int argc, char **argv)
{
    // A library that fails to load must not raise an error box: the run
    // ends silently instead.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    g_output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetCommandLine(argc, argv);
}

void ExitProcess(int status)
{
    ::ExitProcess(static_cast<UINT>(status));
}

void WriteStdout(std::string_view text)
{
    DWORD written = 0;
    ::WriteFile(g_output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The C runtime's descriptor 1 and the process's standard output handle both
// move to standard error, so that a library's own runtime, set up when it
// loads, takes standard error for its output too.
void ReserveStdoutForReport()
{
    std::fflush(stdout);
    // The runtime closes descriptor 1's handle when it moves: the report
    // keeps a handle of its own to the same output.
    HANDLE copy = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, g_output, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return;
    }
    g_output = copy;
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, error);
    _dup2(_fileno(stderr), _fileno(stdout));
}

std::string ProgramPath()
{
    return ModulePath(nullptr);
}

std::string ProgramDirectory()
{
    const std::string path = ProgramPath();
    const std::size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::uint32_t GetTickCount()
{
    return ::GetTickCount();
}

std::uint64_t MonotonicClockNanoseconds()
{
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    // Whole seconds and the remainder apart, so that the product cannot overflow.
    return ticks / perSecond * 1000000000u + ticks % perSecond * 1000000000u / perSecond;
}

const char *FindFileName(const char *path)
{
    return ::PathFindFileNameA(path);
}

std::uint32_t GetLastError()
{
    return ::GetLastError();
}

void SetLastError(std::uint32_t value)
{
    ::SetLastError(value);
}

void *LocalAlloc(std::size_t bytes)
{
    return ::LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes);
}

void *LocalReAlloc(void *block, std::size_t bytes)
{
    return ::LocalReAlloc(block, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT);
}

void LocalFree(void *block)
{
    ::LocalFree(block);
}

} // namespace platform
