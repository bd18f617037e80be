// The threads of this process: what the loader reads to tell whether a
// library may be unloaded, and Verify to see threads a kernel left running.
// Each system's file (unix/threads.cpp, win/threads.cpp) lists them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

// The ids of the process's threads, sorted; nothing when the system does
// not say.
std::optional<std::vector<std::uint64_t>> ProcessThreads();

// How many threads the process has now; -1 when the system does not say.
inline int ThreadCount()
{
    const auto threads = ProcessThreads();
    return threads ? static_cast<int>(threads->size()) : -1;
}

} // namespace platform
