// The operating-system services Verify needs beyond loading a library:
// pages that can be made inaccessible or read-only, so that a stray access
// faults at once and the fault can be told apart; and a child process that
// runs a kernel where its fault, its hang, its output or the processes it
// starts cannot take Verify down. One implementation file per system.
//
// The child is the same on every system: a new run of this program,
// "<program> --isolated-child <answer>", where <answer> names the pipe it
// inherits to answer through (a descriptor on POSIX systems, a handle on
// Windows). It reads its request from standard input to the end; its
// standard output and error are Verify's standard error; it writes its
// answer to the pipe and ends with status 0. A kernel's fault ends it: by
// the fault's own signal on POSIX systems, with the exception's code as its
// exit status on Windows. It leads a process group of its own (POSIX) or
// runs in a job object of its own (Windows).
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace isolation {

// The flag that makes a run of the program a child.
inline constexpr char kChildFlag[] = "--isolated-child";

std::size_t PageSize();

// count read-write pages, page-aligned; null on failure.
void *ReservePages(std::size_t count);
enum class Access { None, ReadOnly, ReadWrite };
// False on failure.
bool SetPageAccess(void *first, std::size_t count, Access access);
void ReleasePages(void *first, std::size_t count);

// A range of memory whose access faults on purpose: a guard page beside a
// matrix, or a matrix on a read-only page. When the kernel faults inside
// one, the child answers with a line "fault<TAB>label<TAB>n" before it ends
// by the fault, n being the byte's distance from begin (from end when
// fromEnd: 1 for the last byte), so that Verify can say what was accessed.
struct WatchedRange {
    const void *begin = nullptr;
    const void *end = nullptr;
    bool fromEnd = false;
    const char *label = "";
};
// Replaces the ranges watched in this process; at most kMaxWatched, the
// rest ignored. The array must live until the next call.
inline constexpr int kMaxWatched = 4;
void WatchRanges(const WatchedRange *ranges, int count);

// What the child does with its request, and what it answers: plain text.
using ChildTask = std::string (*)(const std::string &request);

struct ChildOutcome {
    enum class Ended { Normally, Fault, TimedOut, NotStarted };
    Ended ended = Ended::NotStarted;
    // What the task answered, all of it when the child ended normally and
    // what it wrote before the end otherwise (a "fault" line, say).
    std::string output;
    // How it ended otherwise: "segmentation fault", "illegal instruction",
    // "exit status 3", "no answer within 120 s", or why it did not start.
    std::string how;
    // Set when a process the child started was still running after the
    // child ended (it is ended then).
    bool leftProcess = false;
};

// Runs a child with this request and waits for it to end, at most
// timeoutSeconds. launcher is the command this program is run through when
// the processor cannot run it itself (an emulator and its arguments), the
// child then being started through it too; empty, the program's file is run
// directly. Windows starts a child under whatever runs this process (wine)
// by itself, and does not use it. What the child prints goes to this
// process's standard error; the processes the child starts are ended with
// it (short of one that leaves the child's session on purpose); and the
// child and what it started end when this process ends, killed or not.
ChildOutcome RunInChild(const std::string &request, int timeoutSeconds, std::span<const std::string> launcher = {});

// The child's side: call first thing in main. In a child it runs task on the
// request it was sent, answers and ends the process; in any other run of
// the program it returns at once.
void ServeIfChild(int argc, char **argv, ChildTask task);

} // namespace isolation
