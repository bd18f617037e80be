// The operating-system services Verify needs beyond the harness's: pages
// that can be made inaccessible, so that a stray access faults at once, and
// a child process that runs a kernel where its fault or hang cannot take
// Verify down. One implementation file per system.
#pragma once

#include <cstddef>
#include <string>

namespace isolation {

std::size_t PageSize();

// count read-write pages, page-aligned; null on failure.
void *ReservePages(std::size_t count);
// Makes the pages inaccessible, or read-write again. False on failure.
bool SetPagesAccessible(void *first, std::size_t count, bool accessible);
void ReleasePages(void *first, std::size_t count);

// What the child was asked to do, and what it answers: plain text.
using ChildTask = std::string (*)(const std::string &request);

struct ChildOutcome {
    enum class Ended { Normally, Fault, TimedOut, NotStarted };
    Ended ended = Ended::NotStarted;
    // The task's answer, when the child ended normally.
    std::string output;
    // How it ended otherwise: "segmentation fault", "illegal instruction",
    // "exit status 3", "no answer within 120 s", or why it did not start.
    std::string how;
};

// Runs task(request) in a child process and waits for it, at most
// timeoutSeconds.
ChildOutcome RunInChild(ChildTask task, const std::string &request, int timeoutSeconds);

// Where a child is a new run of this program rather than a copy of this
// process, the child answers here: call first thing in main. In such a child
// it runs the task on the request it was sent and ends the process;
// everywhere else it returns at once.
void ServeIfChild(int argc, char **argv, ChildTask task);

} // namespace isolation
