// The platform layer on Windows: the Win32 services themselves.
#include "platform.h"

#include <cstdint>
#include <cstring>

#include <windows.h>
#include <shlwapi.h>

namespace platform {
namespace {

HANDLE g_output = nullptr;

// The system's text for an error code, without the line end and the full
// stop it comes with; the number itself when there is no text.
std::string SystemMessage(DWORD code)
{
    char *buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<char *>(&buffer), 0, nullptr);
    std::string text = length != 0 && buffer != nullptr ? std::string(buffer, length) : std::string();
    if (buffer != nullptr) {
        ::LocalFree(buffer);
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) {
        text = "system error " + std::to_string(code);
    }
    return text;
}

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

// LoadLibrary itself refuses what is not a loadable image of this machine.
LibraryHandle OpenLibrary(const char *path, std::string *reason)
{
    const HMODULE module = ::LoadLibraryA(path);
    if (module == nullptr && reason != nullptr) {
        *reason = SystemMessage(::GetLastError());
    }
    return module;
}

// GetProcAddress looks only at the module's own export table, but follows
// an export forwarded to another library there, and finds variables as
// readily as functions: a function is an address inside one of the module's
// sections marked executable.
void *FindProcedure(LibraryHandle library, const char *name, std::string *reason)
{
    const std::string quoted = name;
    std::string problem;
    const FARPROC procedure = ::GetProcAddress(static_cast<HMODULE>(library), name);
    void *address = nullptr;
    static_assert(sizeof address == sizeof procedure);
    std::memcpy(&address, &procedure, sizeof address);
    if (address == nullptr) {
        problem = "the library does not export " + quoted;
    } else {
        const auto *base = static_cast<const unsigned char *>(library);
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        const auto start = reinterpret_cast<std::uintptr_t>(base);
        if (at < start || at - start >= nt->OptionalHeader.SizeOfImage) {
            problem = "the library does not export " + quoted + ": it forwards the name to another library";
        } else {
            const auto rva = static_cast<DWORD>(at - start);
            const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
            bool code = false;
            for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
                const DWORD size = section->Misc.VirtualSize != 0 ? section->Misc.VirtualSize : section->SizeOfRawData;
                if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size) {
                    code = (section->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
                    break;
                }
            }
            if (!code) {
                problem = quoted + " is not a function: a data symbol";
            }
        }
    }
    if (problem.empty()) {
        return address;
    }
    if (reason != nullptr) {
        *reason = problem;
    }
    return nullptr;
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
