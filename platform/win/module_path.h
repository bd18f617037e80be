// The file a module of this process was loaded from (the program's own for
// a null module), as a path; empty when it cannot be told.
#pragma once

#include <string>

#include <windows.h>

namespace platform {

inline std::string ModulePath(HMODULE module)
{
    // The buffer grows until the whole path fits: a program installed deeper
    // than MAX_PATH characters still finds what lies beside it.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace platform
