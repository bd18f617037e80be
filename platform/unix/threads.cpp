// The process's threads on Linux: the entries of /proc/self/task.
#include "threads.h"

#include <algorithm>
#include <cstdlib>

#include <dirent.h>

namespace platform {

std::optional<std::vector<std::uint64_t>> ProcessThreads()
{
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> ids;
    while (const dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ids.push_back(std::strtoull(entry->d_name, nullptr, 10));
        }
    }
    closedir(tasks);
    std::sort(ids.begin(), ids.end());
    return ids;
}

} // namespace platform
