// Pipes, fork, process groups and the parent-death signal for the child
// processes of the platform layer on Linux.
#include "child_process.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

int AboveStandardStreams(int descriptor)
{
    if (descriptor < 0 || descriptor > STDERR_FILENO) {
        return descriptor;
    }
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    close(descriptor);
    errno = saved;
    return moved;
}

bool OpenChildPipe(int ends[2], int flags)
{
    if (pipe2(ends, O_CLOEXEC | flags) != 0) {
        return false;
    }
    ends[0] = AboveStandardStreams(ends[0]);
    ends[1] = AboveStandardStreams(ends[1]);
    if (ends[0] < 0 || ends[1] < 0) {
        const int saved = errno;
        close(ends[0]);
        close(ends[1]);
        errno = saved;
        return false;
    }
    return true;
}

pid_t ForkGroupLeader(int parentEndSignal)
{
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, parentEndSignal);
        if (getppid() != parent) {
            _exit(2);
        }
    } else if (child > 0) {
        setpgid(child, child); // whichever of the two runs first
    }
    return child;
}

int KillGroupAndReap(pid_t child)
{
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace platform
