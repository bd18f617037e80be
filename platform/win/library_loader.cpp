// The library loader on Windows: LoadLibrary and the module's own export
// table.
#include "library_loader.h"

#include "module_path.h"
#include "threads.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

namespace platform {
namespace {

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

// What a LibraryHandle points to: the module, and the process's threads
// when it was loaded.
struct LoadedLibrary {
    HMODULE module;
    std::optional<std::vector<std::uint64_t>> threads;
};

LoadedLibrary &Loaded(LibraryHandle library)
{
    return *static_cast<LoadedLibrary *>(library);
}

} // namespace

// LoadLibrary itself refuses what is not a loadable image of this machine.
LibraryHandle OpenLibrary(const char *path, std::string *reason)
{
    std::optional<std::vector<std::uint64_t>> threads = ProcessThreads();
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

std::string LibraryFilePath(LibraryHandle library)
{
    return ModulePath(Loaded(library).module);
}

// A thread started since the library was loaded may be running its code:
// the library then stays loaded, as freeing it would unmap that code under
// the thread.
void CloseLibrary(LibraryHandle library)
{
    LoadedLibrary *loaded = &Loaded(library);
    const std::optional<std::vector<std::uint64_t>> now = ProcessThreads();
    if (!loaded->threads || !now ||
        !std::includes(loaded->threads->begin(), loaded->threads->end(), now->begin(), now->end())) {
        return;
    }
    ::FreeLibrary(loaded->module);
    delete loaded;
}

} // namespace platform
