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
// runs in a job object of its own (Windows). What the request and the
// answer hold is the program's own business.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace platform {

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
// one, the child answers with a line that says so (FaultLine) before it
// ends by the fault, so that Verify can say what was accessed.
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

// What the child answers when the kernel faults inside a watched range:
// writes into line, at most capacity bytes, what tells of an access to the
// byte at distance from the range's begin (from its end when fromEnd: 1 for
// the last byte), and returns how many bytes it wrote. It runs inside the
// fault's handler: no allocation, no lock, nothing that may fault.
using FaultLine = std::size_t (*)(const WatchedRange &range, std::size_t distance, char *line,
                                  std::size_t capacity);
// The room a FaultLine is given.
inline constexpr std::size_t kMaxFaultLine = 128;

struct ChildOutcome {
    enum class Ended { Normally, Fault, TimedOut, NotStarted };
    Ended ended = Ended::NotStarted;
    // What the task answered, all of it when the child ended normally and
    // what it wrote before the end otherwise (a FaultLine's, say).
    std::string output;
    // Why it did not end normally, in words: "segmentation fault",
    // "illegal instruction", "exit status 3", "no answer within 120 s", or
    // why it did not start.
    std::string reason;
    // Set when it did not start because the program's file is not one this
    // processor runs and no launcher was given: a build for another
    // processor, which wants an emulator named.
    bool foreignProgram = false;
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
// request it was sent, answers and ends the process, telling of a fault in
// a watched range with faultLine; in any other run of the program it
// returns at once.
void ServeIfChild(int argc, char **argv, ChildTask task, FaultLine faultLine);

} // namespace platform
