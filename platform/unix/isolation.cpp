// The isolation on Linux: mmap/mprotect pages, and a child that is a new
// run of this program (forked, then the program's file executed, through
// the launcher when there is one), sent its request on standard input and
// answering through a pipe it inherits. Each child leads a process group
// of its own (child_process.h), so that whatever the kernel starts can be
// found and ended with it; it ends by the fault's own signal when the
// kernel faults.
#include "isolation.h"

#include "child_process.h"
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace platform {
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

constexpr std::uint64_t kNanosecondsPerMillisecond = 1000000;

bool WriteAll(int fd, const char *text, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, text + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The ranges a fault is explained by, how the child tells of one, and
// where it answers.
WatchedRange g_watched[kMaxWatched];
int g_watchedCount = 0;
FaultLine g_faultLine = nullptr;
int g_answerFd = -1;

// More than any step answers: what a kernel's helper pours into the pipe
// beyond it is dropped.
constexpr std::size_t kMaxAnswer = 1 << 20;

// Written by the SIGCHLD handler, so that the parent's poll wakes when a
// child ends even while another process holds the answer pipe open.
int g_childEnded[2] = {-1, -1};

void OnChildEnded(int)
{
    const int saved = errno;
    const char byte = 0;
    (void)!write(g_childEnded[1], &byte, 1);
    errno = saved;
}

// In the child: a fault inside a watched range is told to the parent. The
// handler is reset on entry (SA_RESETHAND), so returning re-runs the access
// and the child ends by the fault's own signal.
void OnFault(int, siginfo_t *info, void *)
{
    const auto *address = static_cast<const unsigned char *>(info->si_addr);
    for (int i = 0; g_faultLine != nullptr && i < g_watchedCount; ++i) {
        const auto *begin = static_cast<const unsigned char *>(g_watched[i].begin);
        const auto *end = static_cast<const unsigned char *>(g_watched[i].end);
        if (address < begin || address >= end) {
            continue;
        }
        const auto distance = static_cast<std::size_t>(g_watched[i].fromEnd ? end - address : address - begin);
        char line[kMaxFaultLine];
        WriteAll(g_answerFd, line, g_faultLine(g_watched[i], distance, line, sizeof line));
        return;
    }
}

// In the child, when Verify ends: the whole process group goes with it.
void OnParentEnded(int)
{
    kill(0, SIGKILL);
}

void SetHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return text;
        }
    }
}

bool PrepareParent()
{
    static bool ready = [] {
        if (pipe(g_childEnded) != 0) {
            return false;
        }
        for (int fd : g_childEnded) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        struct sigaction action {};
        action.sa_handler = OnChildEnded;
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigemptyset(&action.sa_mask);
        sigaction(SIGCHLD, &action, nullptr);
        // What a kernel's helper leaves when the child ends comes to us, to
        // be told apart from what still runs, and reaped.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        return true;
    }();
    return ready;
}

void Drain(int fd)
{
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

void Pause(long milliseconds)
{
    const timespec pause{0, milliseconds * 1000000};
    nanosleep(&pause, nullptr);
}

// Ends what is left of the child's process group and reaps what of it
// became ours. True when something of it was still running after a short
// grace, which a process already on its way out (one a sanitizer runtime
// started to describe a fault, say) takes to end.
bool EndGroup(pid_t group)
{
    for (int wait = 0;; ++wait) {
        while (waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        if (kill(-group, 0) != 0) {
            return false;
        }
        if (wait == 25) {
            break;
        }
        Pause(10);
    }
    kill(-group, SIGKILL);
    const std::uint64_t deadline = MonotonicClockNanoseconds() + 1000 * kNanosecondsPerMillisecond;
    while (MonotonicClockNanoseconds() < deadline) {
        const pid_t reaped = waitpid(-group, nullptr, WNOHANG);
        if (reaped < 0) {
            break; // none of them is ours to reap
        }
        if (reaped == 0) {
            Pause(1);
        }
    }
    return true;
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

bool SetPageAccess(void *first, std::size_t count, Access access)
{
    const int protection = access == Access::None       ? PROT_NONE
                           : access == Access::ReadOnly ? PROT_READ
                                                        : PROT_READ | PROT_WRITE;
    return mprotect(first, count * PageSize(), protection) == 0;
}

void ReleasePages(void *first, std::size_t count)
{
    munmap(first, count * PageSize());
}

void WatchRanges(const WatchedRange *ranges, int count)
{
    g_watchedCount = 0;
    for (int i = 0; i < count && i < kMaxWatched; ++i) {
        g_watched[i] = ranges[i];
    }
    g_watchedCount = count < kMaxWatched ? count : kMaxWatched;
}

ChildOutcome RunInChild(const std::string &request, int timeoutSeconds, std::span<const std::string> launcher)
{
    ChildOutcome outcome;
    // Without a launcher the operating system runs the program's file
    // itself, which /proc/self/exe names even when it has been moved or
    // replaced since.
    const std::string program = ProgramPath();
    if (program.empty() && !launcher.empty()) {
        outcome.reason = "cannot find this program's own path";
        return outcome;
    }
    if (!PrepareParent()) {
        outcome.reason = std::string("no pipe: ") + std::strerror(errno);
        return outcome;
    }
    int requestPipe[2];
    int answerPipe[2];
    int execPipe[2];
    if (!OpenChildPipe(requestPipe)) {
        outcome.reason = std::string("no pipe: ") + std::strerror(errno);
        return outcome;
    }
    if (!OpenChildPipe(answerPipe)) {
        outcome.reason = std::string("no pipe: ") + std::strerror(errno);
        close(requestPipe[0]);
        close(requestPipe[1]);
        return outcome;
    }
    if (!OpenChildPipe(execPipe)) {
        outcome.reason = std::string("no pipe: ") + std::strerror(errno);
        for (int fd : {requestPipe[0], requestPipe[1], answerPipe[0], answerPipe[1]}) {
            close(fd);
        }
        return outcome;
    }
    // Everything the child needs is made before the fork.
    std::vector<std::string> words(launcher.begin(), launcher.end());
    words.push_back(program.empty() ? std::string("/proc/self/exe") : program);
    words.push_back(kChildFlag);
    words.push_back(std::to_string(answerPipe[1]));
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const char *file = launcher.empty() ? "/proc/self/exe" : argv[0];

    std::fflush(nullptr); // nothing buffered here is written twice
    // The child ends with Verify, even one killed by SIGKILL: until it sets
    // its handler (ServeIfChild), SIGHUP ends the child alone, which has
    // started nothing yet.
    const pid_t child = ForkGroupLeader(SIGHUP);
    if (child == 0) {
        // The request on standard input, standard output to Verify's
        // standard error, and the answer pipe kept open across exec.
        dup2(requestPipe[0], STDIN_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        fcntl(answerPipe[1], F_SETFD, 0);
        if (launcher.empty()) {
            execv(file, argv.data());
        } else {
            execvp(file, argv.data());
        }
        const int error = errno;
        WriteAll(execPipe[1], reinterpret_cast<const char *>(&error), sizeof error);
        _exit(127);
    }
    close(requestPipe[0]);
    close(answerPipe[1]);
    close(execPipe[1]);
    if (child < 0) {
        outcome.reason = std::string("no child process: ") + std::strerror(errno);
        for (int fd : {requestPipe[1], answerPipe[0], execPipe[0]}) {
            close(fd);
        }
        return outcome;
    }
    // The pipe closes at the exec; it carries the error when the exec failed.
    int execError = 0;
    const std::string execAnswer = ReadAll(execPipe[0]);
    close(execPipe[0]);
    if (execAnswer.size() == sizeof execError) {
        std::memcpy(&execError, execAnswer.data(), sizeof execError);
        close(requestPipe[1]);
        close(answerPipe[0]);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        outcome.reason = "cannot run " + words[0] + ": " + std::strerror(execError);
        outcome.foreignProgram = execError == ENOEXEC && launcher.empty();
        return outcome;
    }
    // A child that ends before it has read the request must not end Verify
    // by SIGPIPE: the write fails instead, and the child's end tells why.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);
    WriteAll(requestPipe[1], request.data(), request.size());
    sigaction(SIGPIPE, &previous, nullptr);
    close(requestPipe[1]);

    // The step ends when the child ends, whether or not the answer pipe
    // has reached its end: a process the kernel started may hold it open.
    const std::uint64_t deadline =
        MonotonicClockNanoseconds() + static_cast<std::uint64_t>(timeoutSeconds) * 1000 * kNanosecondsPerMillisecond;
    bool timedOut = false;
    bool answerOpen = true;
    int status = 0;
    char buffer[4096];
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR)) {
            break;
        }
        const std::uint64_t now = MonotonicClockNanoseconds();
        if (now >= deadline) {
            timedOut = true;
            status = KillGroupAndReap(child);
            break;
        }
        // Whole milliseconds, rounded up: a poll of 0 would not wait.
        const std::uint64_t left = (deadline - now + kNanosecondsPerMillisecond - 1) / kNanosecondsPerMillisecond;
        pollfd waits[2] = {{g_childEnded[0], POLLIN, 0}, {answerOpen ? answerPipe[0] : -1, POLLIN, 0}};
        if (poll(waits, 2, static_cast<int>(left < 1000 ? left : 1000)) <= 0) {
            continue;
        }
        if (waits[0].revents != 0) {
            Drain(g_childEnded[0]);
        }
        if (answerOpen && waits[1].revents != 0) {
            const ssize_t n = read(answerPipe[0], buffer, sizeof buffer);
            if (n > 0) {
                if (outcome.output.size() < kMaxAnswer) {
                    outcome.output.append(buffer, static_cast<std::size_t>(n));
                }
            } else if (n == 0 || errno != EINTR) {
                answerOpen = false;
            }
        }
    }
    // All the child wrote is in the pipe now; take it without waiting for
    // an end that another process may hold back.
    fcntl(answerPipe[0], F_SETFL, fcntl(answerPipe[0], F_GETFL) | O_NONBLOCK);
    for (ssize_t n; answerOpen && outcome.output.size() < kMaxAnswer &&
                    (n = read(answerPipe[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            outcome.output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(answerPipe[0]);
    outcome.leftProcess = EndGroup(child) && !timedOut;
    if (timedOut) {
        outcome.ended = ChildOutcome::Ended::TimedOut;
        outcome.reason = "no answer within " + std::to_string(timeoutSeconds) + " s";
    } else if (WIFSIGNALED(status)) {
        outcome.ended = ChildOutcome::Ended::Fault;
        outcome.reason = SignalName(WTERMSIG(status));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        outcome.ended = ChildOutcome::Ended::Fault;
        outcome.reason = "exit status " + std::to_string(WEXITSTATUS(status));
    } else {
        outcome.ended = ChildOutcome::Ended::Normally;
    }
    return outcome;
}

void ServeIfChild(int argc, char **argv, ChildTask task, FaultLine faultLine)
{
    if (argc != 3 || std::strcmp(argv[1], kChildFlag) != 0) {
        return;
    }
    char *end = nullptr;
    const long fd = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || fd <= STDERR_FILENO || fcntl(static_cast<int>(fd), F_GETFD) < 0) {
        _exit(2);
    }
    // Verify killed, even by SIGKILL, takes the child and its group along
    // (the parent-death signal was set before the exec).
    SetHandler(SIGHUP, OnParentEnded);
    SetHandler(SIGCHLD, SIG_DFL);
    // A fault must end the child by its signal, for the parent to name:
    // no handler of a sanitizer runtime, and no core file. Ours for an
    // access fault only says where it was, and then lets it end the child.
    for (int signal : {SIGILL, SIGFPE, SIGABRT}) {
        SetHandler(signal, SIG_DFL);
    }
    for (int signal : {SIGSEGV, SIGBUS}) {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const std::string request = ReadAll(STDIN_FILENO);
    // What the kernel prints already goes to Verify's standard error, never
    // into its report; and it reads nothing.
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) {
        dup2(nothing, STDIN_FILENO);
        close(nothing);
    }
    g_answerFd = static_cast<int>(fd);
    g_faultLine = faultLine;
    const std::string answer = task(request);
    std::fflush(stdout);
    WriteAll(g_answerFd, answer.data(), answer.size());
    close(g_answerFd);
    _exit(0);
}

} // namespace platform
