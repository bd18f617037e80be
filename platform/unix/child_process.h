// The child processes the platform layer starts on Linux, all made one way:
// their pipes kept clear of the standard descriptors, and each child leading
// a process group of its own that ends with this process, so that the child
// and whatever it starts can be ended together. Internal to unix/: the trial
// load of a library (library_loader.cpp) and the isolated child
// (isolation.cpp) both start theirs through it.
#pragma once

#include <sys/types.h>

namespace platform {

// The descriptor moved above the three standard ones, where a process
// started with one of those closed would have opened it, and closed on exec;
// -1 on failure (errno set). Any other descriptor, -1 included, is returned
// as it is.
int AboveStandardStreams(int descriptor);

// A pipe whose two ends lie above the standard descriptors and are closed on
// exec; flags (O_NONBLOCK) are set on both. False on failure, with errno set
// and neither end open.
bool OpenChildPipe(int ends[2], int flags = 0);

// Forks a child that leads a process group of its own and is sent
// parentEndSignal when this process ends, even by SIGKILL (the signal is kept
// across exec); a child whose parent ended before that was set ends at once.
// As fork answers: the child's id here, 0 in the child, -1 on failure with
// errno set. Until it executes a program or ends, the child may make only
// async-signal-safe calls: this process may have other threads.
pid_t ForkGroupLeader(int parentEndSignal);

// Kills the child and what is left of its process group, and collects the
// child: its wait status.
int KillGroupAndReap(pid_t child);

} // namespace platform
