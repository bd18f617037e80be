// The isolation on Linux: mmap/mprotect pages, and a child that is a new
// run of this program (forked, then the program's file executed, through
// the launcher when there is one), sent its request on standard input and
// answering through a pipe it inherits. Each child leads a process group
// of its own, so that whatever the kernel starts can be found and ended
// with it; it ends by the fault's own signal when the kernel faults.
#include "isolation.h"

#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

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

// The ranges a fault is explained by, and where the child answers.
WatchedRange g_watched[kMaxWatched];
int g_watchedCount = 0;
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
    for (int i = 0; i < g_watchedCount; ++i) {
        const auto *begin = static_cast<const unsigned char *>(g_watched[i].begin);
        const auto *end = static_cast<const unsigned char *>(g_watched[i].end);
        if (address < begin || address >= end) {
            continue;
        }
        unsigned long n = g_watched[i].fromEnd ? static_cast<unsigned long>(end - address)
                                               : static_cast<unsigned long>(address - begin);
        char line[128] = "fault\t";
        std::size_t length = std::strlen(line);
        for (const char *c = g_watched[i].label; *c != '\0' && length < 100; ++c) {
            line[length++] = *c;
        }
        line[length++] = '\t';
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        while (count > 0) {
            line[length++] = digits[--count];
        }
        line[length++] = '\n';
        WriteAll(g_answerFd, line, length);
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

// In a child, before the program's file is executed: leads a process group
// of its own and, on Linux, ends with Verify, even one killed by SIGKILL.
// Only async-signal-safe calls: the parent may be a multithreaded process.
void EnterChildGroup(pid_t parent)
{
    setpgid(0, 0);
#ifdef __linux__
    // Kept across exec; until the child sets its handler (ServeIfChild),
    // SIGHUP ends the child alone, which has started nothing yet.
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (getppid() != parent) {
        kill(0, SIGKILL);
    }
#else
    (void)parent;
#endif
}

// A pipe whose two ends lie above the three standard descriptors (a process
// started with one of those closed would have had it there) and are closed
// on exec; false on failure.
bool OpenPipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i] <= STDERR_FILENO) {
            const int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            close(fds[i]);
            fds[i] = moved;
        }
    }
    if (fds[0] < 0 || fds[1] < 0) {
        const int saved = errno;
        close(fds[0]);
        close(fds[1]);
        errno = saved;
        return false;
    }
    return true;
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
#ifdef __linux__
        // What a kernel's helper leaves when the child ends comes to us, to
        // be told apart from what still runs, and reaped.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
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
    const long long deadline = NowMilliseconds() + 1000;
    while (NowMilliseconds() < deadline) {
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
    // Without a launcher the kernel runs the program's file itself, which
    // /proc/self/exe names even when it has been moved or replaced since.
    const std::string program = platform::ProgramPath();
    if (program.empty() && !launcher.empty()) {
        outcome.how = "cannot find this program's own path";
        return outcome;
    }
    if (!PrepareParent()) {
        outcome.how = std::string("no pipe: ") + std::strerror(errno);
        return outcome;
    }
    int requestPipe[2];
    int fds[2];
    int execPipe[2];
    if (!OpenPipe(requestPipe)) {
        outcome.how = std::string("no pipe: ") + std::strerror(errno);
        return outcome;
    }
    if (!OpenPipe(fds)) {
        outcome.how = std::string("no pipe: ") + std::strerror(errno);
        close(requestPipe[0]);
        close(requestPipe[1]);
        return outcome;
    }
    if (!OpenPipe(execPipe)) {
        outcome.how = std::string("no pipe: ") + std::strerror(errno);
        for (int fd : {requestPipe[0], requestPipe[1], fds[0], fds[1]}) {
            close(fd);
        }
        return outcome;
    }
    // Everything the child needs is made before the fork.
    std::vector<std::string> words(launcher.begin(), launcher.end());
    words.push_back(program.empty() ? std::string("/proc/self/exe") : program);
    words.push_back(kChildFlag);
    words.push_back(std::to_string(fds[1]));
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const char *file = launcher.empty() ? "/proc/self/exe" : argv[0];

    std::fflush(nullptr); // nothing buffered here is written twice
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        EnterChildGroup(parent);
        // The request on standard input, standard output to Verify's
        // standard error, and the answer pipe kept open across exec.
        dup2(requestPipe[0], STDIN_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        fcntl(fds[1], F_SETFD, 0);
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
    close(fds[1]);
    close(execPipe[1]);
    if (child < 0) {
        outcome.how = std::string("no child process: ") + std::strerror(errno);
        for (int fd : {requestPipe[1], fds[0], execPipe[0]}) {
            close(fd);
        }
        return outcome;
    }
    setpgid(child, child); // whichever of the two runs first
    // The pipe closes at the exec; it carries the error when the exec failed.
    int execError = 0;
    const std::string execAnswer = ReadAll(execPipe[0]);
    close(execPipe[0]);
    if (execAnswer.size() == sizeof execError) {
        std::memcpy(&execError, execAnswer.data(), sizeof execError);
        close(requestPipe[1]);
        close(fds[0]);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        outcome.how = "cannot run " + words[0] + ": " + std::strerror(execError);
        if (execError == ENOEXEC && launcher.empty()) {
            outcome.how += " (under an emulator, name it in MATMUL_EMULATOR)";
        }
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
    const long long deadline = NowMilliseconds() + timeoutSeconds * 1000LL;
    bool timedOut = false;
    bool answerOpen = true;
    int status = 0;
    char buffer[4096];
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR)) {
            break;
        }
        const long long left = deadline - NowMilliseconds();
        if (left <= 0) {
            timedOut = true;
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        pollfd waits[2] = {{g_childEnded[0], POLLIN, 0}, {answerOpen ? fds[0] : -1, POLLIN, 0}};
        if (poll(waits, 2, static_cast<int>(left < 1000 ? left : 1000)) <= 0) {
            continue;
        }
        if (waits[0].revents != 0) {
            Drain(g_childEnded[0]);
        }
        if (answerOpen && waits[1].revents != 0) {
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
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
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    for (ssize_t n; answerOpen && outcome.output.size() < kMaxAnswer &&
                    (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            outcome.output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fds[0]);
    outcome.leftProcess = EndGroup(child) && !timedOut;
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

void ServeIfChild(int argc, char **argv, ChildTask task)
{
    if (argc != 3 || std::strcmp(argv[1], kChildFlag) != 0) {
        return;
    }
    char *end = nullptr;
    const long fd = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || fd <= STDERR_FILENO || fcntl(static_cast<int>(fd), F_GETFD) < 0) {
        _exit(2);
    }
#ifdef __linux__
    // Verify killed, even by SIGKILL, takes the child and its group along
    // (the parent-death signal was set before the exec).
    SetHandler(SIGHUP, OnParentEnded);
#endif
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
    const std::string answer = task(request);
    std::fflush(stdout);
    WriteAll(g_answerFd, answer.data(), answer.size());
    close(g_answerFd);
    _exit(0);
}

} // namespace isolation
