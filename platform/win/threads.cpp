// The process's threads on Windows: a snapshot of the system's threads,
// those this process owns.
#include "threads.h"

#include <algorithm>

#include <windows.h>
#include <tlhelp32.h>

namespace platform {

std::optional<std::vector<std::uint64_t>> ProcessThreads()
{
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> ids;
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

} // namespace platform
