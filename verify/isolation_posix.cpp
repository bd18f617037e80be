// Verify's isolation on POSIX systems: mmap/mprotect pages, and a forked
// child that already holds everything the task needs.
#include "isolation.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace isolation {
namespace {

std::string SignalName(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "segmentation fault";
    case SIGBUS:
        return "bus error";
    case SIGILL:
        return "illegal instruction";
    case SIGFPE:
        return "arithmetic trap";
    case SIGABRT:
        return "abort";
    case SIGKILL:
        return "killed";
    default:
        return "signal " + std::to_string(signal);
    }
}

long long NowMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void WriteAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void RunChild(int fd, ChildTask task, const std::string &request)
{
    // A fault must end the child by its signal, for the parent to name:
    // no handler of ours or of a sanitizer runtime, and no core file.
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    WriteAll(fd, task(request));
    close(fd);
    _exit(0);
}

} // namespace

std::size_t PageSize()
{
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

void *ReservePages(std::size_t count)
{
    void *pages = mmap(nullptr, count * PageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

bool SetPagesAccessible(void *first, std::size_t count, bool accessible)
{
    return mprotect(first, count * PageSize(), accessible ? PROT_READ | PROT_WRITE : PROT_NONE) == 0;
}

void ReleasePages(void *first, std::size_t count)
{
    munmap(first, count * PageSize());
}

ChildOutcome RunInChild(ChildTask task, const std::string &request, int timeoutSeconds)
{
    ChildOutcome outcome;
    int fds[2];
    if (pipe(fds) != 0) {
        outcome.how = std::string("no pipe: ") + std::strerror(errno);
        return outcome;
    }
    const pid_t child = fork();
    if (child < 0) {
        outcome.how = std::string("no child process: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return outcome;
    }
    if (child == 0) {
        close(fds[0]);
        RunChild(fds[1], task, request);
    }
    close(fds[1]);

    const long long deadline = NowMilliseconds() + timeoutSeconds * 1000LL;
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const long long left = deadline - NowMilliseconds();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd wait{fds[0], POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            continue; // the deadline is checked at the top
        }
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        outcome.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (timedOut) {
        kill(child, SIGKILL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        outcome.ended = ChildOutcome::Ended::TimedOut;
        outcome.how = "no answer within " + std::to_string(timeoutSeconds) + " s";
    } else if (WIFSIGNALED(status)) {
        outcome.ended = ChildOutcome::Ended::Fault;
        outcome.how = SignalName(WTERMSIG(status));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        outcome.ended = ChildOutcome::Ended::Fault;
        outcome.how = "exit status " + std::to_string(WEXITSTATUS(status));
    } else {
        outcome.ended = ChildOutcome::Ended::Normally;
    }
    return outcome;
}

void ServeIfChild(int, char **, ChildTask)
{
    // The child is a fork of this process and runs the task itself.
}

} // namespace isolation
