// The process's own services on Linux: POSIX calls, with the program's own
// path read from /proc/self/exe.
#include "process.h"

#include "command_line.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace platform {
namespace {

// Where WriteStdout writes: standard output, or a copy of it once the
// process's own standard output has been sent to standard error.
int g_reportOutput = STDOUT_FILENO;
thread_local std::uint32_t t_lastError = 0;

} // namespace

void InitProcess(int argc, char **argv)
{
    // A write to a closed pipe must fail with an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    SetCommandLine(argc, argv);
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
        const ssize_t written = write(g_reportOutput, data, left);
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

void ReserveStdoutForReport()
{
    std::fflush(stdout);
    const int copy = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (copy < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (copy >= 0) {
            close(copy);
        }
        return;
    }
    g_reportOutput = copy;
}

// qemu-user answers for /proc/self/exe with the program it runs, not itself.
std::string ProgramPath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length <= 0 ? std::string() : std::string(path, static_cast<std::size_t>(length));
}

std::string ProgramDirectory()
{
    const std::string exe = ProgramPath();
    const std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::uint64_t MonotonicClockNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint32_t GetTickCount()
{
    return static_cast<std::uint32_t>(MonotonicClockNanoseconds() / 1000000u);
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
