// The platform layer on Windows: the Win32 services themselves.
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <io.h>

#include <windows.h>
#include <shlwapi.h>
#include <tlhelp32.h>

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

// The ids of the process's threads, sorted; nothing when they cannot be read.
std::optional<std::vector<DWORD>> ProcessThreads()
{
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<DWORD> ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD process = ::GetCurrentProcessId();
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == process) {
            ids.push_back(entry.th32ThreadID);
        }
    }
    ::CloseHandle(snapshot);
    std::sort(ids.begin(), ids.end());
    return ids;
}

// What a LibraryHandle points to: the module, and the process's threads
// when it was loaded.
struct LoadedLibrary {
    HMODULE module;
    std::optional<std::vector<DWORD>> threads;
};

LoadedLibrary &Loaded(LibraryHandle library)
{
    return *static_cast<LoadedLibrary *>(library);
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

std::string ProgramDirectory()
{
    // The buffer grows until the whole path fits: a program installed deeper
    // than MAX_PATH characters still finds what lies beside it.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
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
    std::optional<std::vector<DWORD>> threads = ProcessThreads();
    const HMODULE module = ::LoadLibraryA(path);
    if (module == nullptr) {
        if (reason != nullptr) {
            *reason = SystemMessage(::GetLastError());
        }
        return nullptr;
    }
    return new LoadedLibrary{module, std::move(threads)};
}

// GetProcAddress looks only at the module's own export table, but follows
// an export forwarded to another library there, and finds variables as
// readily as functions: a function is an address inside one of the module's
// sections marked executable.
void *FindProcedure(LibraryHandle library, const char *name, std::string *reason)
{
    const std::string quoted = name;
    std::string problem;
    const HMODULE module = Loaded(library).module;
    const FARPROC procedure = ::GetProcAddress(module, name);
    void *address = nullptr;
    static_assert(sizeof address == sizeof procedure);
    std::memcpy(&address, &procedure, sizeof address);
    if (address == nullptr) {
        problem = "the library does not export " + quoted;
    } else {
        const auto *base = reinterpret_cast<const unsigned char *>(module);
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

int ThreadCount()
{
    const auto threads = ProcessThreads();
    return threads ? static_cast<int>(threads->size()) : -1;
}

// A thread started since the library was loaded may be running its code:
// the library then stays loaded, as freeing it would unmap that code under
// the thread.
void CloseLibrary(LibraryHandle library)
{
    LoadedLibrary *loaded = &Loaded(library);
    const std::optional<std::vector<DWORD>> now = ProcessThreads();
    if (!loaded->threads || !now ||
        !std::includes(loaded->threads->begin(), loaded->threads->end(), now->begin(), now->end())) {
        return;
    }
    ::FreeLibrary(loaded->module);
    delete loaded;
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
