// The platform layer on Windows: the Win32 services themselves.
#include "platform.h"

#include <cstring>

#include <windows.h>
#include <shlwapi.h>

namespace platform {
namespace {

HANDLE g_output = nullptr;

} // namespace

void InitProcess(int, char **)
{
    // A library that fails to load must not raise an error box: the run
    // ends silently instead.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    g_output = GetStdHandle(STD_OUTPUT_HANDLE);
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

const char *GetCommandLineText()
{
    return ::GetCommandLineA();
}

std::uint32_t GetTickCount()
{
    return ::GetTickCount();
}

LibraryHandle OpenLibrary(const char *path)
{
    return ::LoadLibraryA(path);
}

KernelEntry FindProcedure(LibraryHandle library, const char *name)
{
    const FARPROC procedure = ::GetProcAddress(static_cast<HMODULE>(library), name);
    KernelEntry entry = nullptr;
    static_assert(sizeof entry == sizeof procedure);
    std::memcpy(&entry, &procedure, sizeof entry);
    return entry;
}

void CloseLibrary(LibraryHandle library)
{
    ::FreeLibrary(static_cast<HMODULE>(library));
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
