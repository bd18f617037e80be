// The platform layer on Linux: POSIX services, with the program's own path
// read from /proc/self/exe and the GNU loader extensions (dladdr1, dlinfo)
// that only this system's loader has in this form.
#include "platform.h"
#include "tokenizer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace platform {
namespace {

std::string g_commandLine;
thread_local std::uint32_t t_lastError = 0;

// Rebuilds the single command-line text that Windows hands a program: the
// arguments joined by single blanks, each one that needs it wrapped in
// quotes, so that splitting the text gives the arguments back.
std::string JoinArguments(int argc, char **argv)
{
    std::string text;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (i > 0) {
            text += ' ';
        }
        if (ArgNeedsQuoting(arg)) {
            // An argument holding all four quote characters is wrapped in
            // the first; it splits where the tokenizer meets that character.
            const char fitting = ArgQuoteFor(arg);
            const char quote = fitting != '\0' ? fitting : kArgQuotes[0];
            text += quote;
            text += arg;
            text += quote;
        } else {
            text += arg;
        }
    }
    return text;
}

std::string ProgramDirectory()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    const std::string_view exe(path, static_cast<std::size_t>(length));
    const std::size_t slash = exe.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : std::string(exe.substr(0, slash));
}

void *OpenAt(const std::string &path, std::string *reason)
{
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && reason != nullptr) {
        const char *message = dlerror();
        *reason = message != nullptr ? message : "the loader refused it";
    }
    return library;
}

} // namespace

void InitProcess(int argc, char **argv)
{
    // A write to a closed pipe must fail with an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    g_commandLine = JoinArguments(argc, argv);
}

void ExitProcess(int status)
{
    std::exit(status);
}

void WriteStdout(std::string_view text)
{
    const char *data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (written == 0) {
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

const char *GetCommandLineText()
{
    return g_commandLine.c_str();
}

std::uint32_t GetTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint64_t MonotonicClockNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// A bare file name is looked for where a Windows program looks for its
// libraries: beside the program, then in the current directory, then along
// the loader's own search path. A name with a directory is used as given.
LibraryHandle OpenLibrary(const char *path, std::string *reason)
{
    if (path == nullptr || *path == '\0') {
        if (reason != nullptr) {
            *reason = "no library named";
        }
        return nullptr;
    }
    if (std::strchr(path, '/') != nullptr) {
        return OpenAt(path, reason);
    }
    for (const std::string &dir : {ProgramDirectory(), std::string(".")}) {
        if (dir.empty()) {
            continue;
        }
        const std::string candidate = dir + '/' + path;
        if (access(candidate.c_str(), F_OK) == 0) {
            return OpenAt(candidate, reason);
        }
    }
    return OpenAt(path, reason);
}

void *FindProcedure(LibraryHandle library, const char *name)
{
    return dlsym(library, name);
}

void CloseLibrary(LibraryHandle library)
{
    dlclose(library);
}

const char *FindFileName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

std::uint32_t GetLastError()
{
    return t_lastError;
}

void SetLastError(std::uint32_t value)
{
    t_lastError = value;
}

void *LocalAlloc(std::size_t bytes)
{
    return std::calloc(1, bytes);
}

void *LocalReAlloc(void *block, std::size_t bytes)
{
    return std::realloc(block, bytes);
}

void LocalFree(void *block)
{
    std::free(block);
}

} // namespace platform
