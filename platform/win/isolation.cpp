// The isolation on Windows: VirtualAlloc/VirtualProtect pages, and a child
// that is a new run of this program, sent its request on standard input
// and answering through a pipe handle it inherits. An exception the kernel
// raises ends the child with the exception's code as its exit status. Each
// child runs in a job object of its own, so that what it starts ends with
// it, and with Verify.
#include "isolation.h"

#include "process.h"

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace platform {
namespace {

std::string ExceptionName(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
        return "access violation";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
        return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK:
        return "arithmetic trap";
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        return "misaligned access";
    case EXCEPTION_STACK_OVERFLOW:
        return "stack overflow";
    default: {
        char text[40];
        std::snprintf(text, sizeof text, "exit status 0x%08lX", static_cast<unsigned long>(code));
        return text;
    }
    }
}

// The ranges a fault is explained by, how the child tells of one, and
// where it answers.
WatchedRange g_watched[kMaxWatched];
int g_watchedCount = 0;
FaultLine g_faultLine = nullptr;
HANDLE g_answer = nullptr;

bool WriteAll(HANDLE handle, const std::string &text);

// An access violation inside a watched range is told to the parent first.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
        const auto *address = reinterpret_cast<const unsigned char *>(record->ExceptionInformation[1]);
        for (int i = 0; g_faultLine != nullptr && i < g_watchedCount; ++i) {
            const auto *begin = static_cast<const unsigned char *>(g_watched[i].begin);
            const auto *end = static_cast<const unsigned char *>(g_watched[i].end);
            if (address >= begin && address < end) {
                const auto distance = static_cast<std::size_t>(g_watched[i].fromEnd ? end - address : address - begin);
                char line[kMaxFaultLine];
                WriteAll(g_answer, std::string(line, g_faultLine(g_watched[i], distance, line, sizeof line)));
                break;
            }
        }
    }
    ::TerminateProcess(::GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool WriteAll(HANDLE handle, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

std::string ReadAll(HANDLE handle)
{
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(handle, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    return text;
}

// The answer, read on a thread of its own while the parent waits for the
// child.
struct AnswerReader {
    HANDLE pipe;
    std::string text;
};

DWORD WINAPI ReadAnswer(void *reader)
{
    auto *r = static_cast<AnswerReader *>(reader);
    r->text = ReadAll(r->pipe);
    return 0;
}

// True when a process other than the child is in the job.
bool OthersInJob(HANDLE job, DWORD child)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    if (!::QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr) &&
        ::GetLastError() != ERROR_MORE_DATA) {
        return false;
    }
    if (ids.list.NumberOfAssignedProcesses > ids.list.NumberOfProcessIdsInList) {
        return true;
    }
    const ULONG_PTR *list = ids.list.ProcessIdList;
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
        if (list[i] != child) {
            return true;
        }
    }
    return false;
}

// A job whose processes all end when they are ended or its last handle is
// closed: Verify holds that handle, so they end with Verify too.
HANDLE NewJob()
{
    HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        ::CloseHandle(job);
        return nullptr;
    }
    return job;
}

} // namespace

std::size_t PageSize()
{
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

void *ReservePages(std::size_t count)
{
    return ::VirtualAlloc(nullptr, count * PageSize(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

bool SetPageAccess(void *first, std::size_t count, Access access)
{
    const DWORD protection = access == Access::None       ? PAGE_NOACCESS
                             : access == Access::ReadOnly ? PAGE_READONLY
                                                          : PAGE_READWRITE;
    DWORD old = 0;
    return ::VirtualProtect(first, count * PageSize(), protection, &old) != 0;
}

void ReleasePages(void *first, std::size_t)
{
    ::VirtualFree(first, 0, MEM_RELEASE);
}

void WatchRanges(const WatchedRange *ranges, int count)
{
    g_watchedCount = 0;
    for (int i = 0; i < count && i < kMaxWatched; ++i) {
        g_watched[i] = ranges[i];
    }
    g_watchedCount = count < kMaxWatched ? count : kMaxWatched;
}

ChildOutcome RunInChild(const std::string &request, int timeoutSeconds, std::span<const std::string>)
{
    ChildOutcome outcome;
    const std::string program = ProgramPath();
    if (program.empty()) {
        outcome.reason = "cannot find this program's own path";
        return outcome;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
    HANDLE childAnswer = nullptr;
    if (!::CreatePipe(&childIn, &toChild, &inherit, 0)) {
        outcome.reason = "no pipe";
        return outcome;
    }
    if (!::CreatePipe(&fromChild, &childAnswer, &inherit, 0)) {
        outcome.reason = "no pipe";
        ::CloseHandle(childIn);
        ::CloseHandle(toChild);
        return outcome;
    }
    ::SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
    // The child's standard output and error are both this process's
    // standard error: what the kernel prints stays out of the report.
    HANDLE childErr = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE), ::GetCurrentProcess(), &childErr, 0,
                      TRUE, DUPLICATE_SAME_ACCESS);

    const std::string commandLine = std::string("\"") + program + "\" " + kChildFlag + " " +
                                    std::to_string(reinterpret_cast<std::uintptr_t>(childAnswer));
    std::string mutableLine = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childErr;
    startup.hStdError = childErr;
    PROCESS_INFORMATION process{};
    HANDLE job = NewJob();
    const BOOL started = ::CreateProcessA(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                          nullptr, nullptr, &startup, &process);
    ::CloseHandle(childIn);
    ::CloseHandle(childAnswer);
    if (childErr != nullptr) {
        ::CloseHandle(childErr);
    }
    if (!started) {
        outcome.reason = "no child process";
        ::CloseHandle(toChild);
        ::CloseHandle(fromChild);
        if (job != nullptr) {
            ::CloseHandle(job);
        }
        return outcome;
    }
    // Without a job (a system that refuses nested jobs) the child still
    // runs; only what it starts is not ended with it.
    if (job != nullptr && !::AssignProcessToJobObject(job, process.hProcess)) {
        ::CloseHandle(job);
        job = nullptr;
    }
    ::ResumeThread(process.hThread);
    // The request is small; the reader drains the answer while we wait.
    WriteAll(toChild, request);
    ::CloseHandle(toChild);
    auto *reader = new AnswerReader{fromChild, {}};
    HANDLE readerThread = ::CreateThread(nullptr, 0, ReadAnswer, reader, 0, nullptr);
    const DWORD waited = ::WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutSeconds) * 1000u);
    if (waited != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    // The step ends with the child: what it started is ended, which also
    // closes the answer pipe for the reader.
    if (job != nullptr) {
        outcome.leftProcess = waited == WAIT_OBJECT_0 && OthersInJob(job, process.dwProcessId);
        ::TerminateJobObject(job, 1);
        ::CloseHandle(job);
    }
    bool readerDone = readerThread == nullptr;
    if (!readerDone && ::WaitForSingleObject(readerThread, 2000) != WAIT_OBJECT_0) {
        // Something outside the job holds the pipe: stop waiting for it.
        ::CancelSynchronousIo(readerThread);
    }
    readerDone = readerDone || ::WaitForSingleObject(readerThread, 2000) == WAIT_OBJECT_0;
    std::string answer;
    if (readerDone) {
        answer = std::move(reader->text);
        ::CloseHandle(fromChild);
        delete reader;
    } // else the reader keeps its pipe and its buffer until this process ends
    if (readerThread != nullptr) {
        ::CloseHandle(readerThread);
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    outcome.output = std::move(answer);
    if (waited != WAIT_OBJECT_0) {
        outcome.ended = ChildOutcome::Ended::TimedOut;
        outcome.reason = "no answer within " + std::to_string(timeoutSeconds) + " s";
    } else if (code != 0) {
        outcome.ended = ChildOutcome::Ended::Fault;
        outcome.reason = code >= 0xC0000000u ? ExceptionName(code) : "exit status " + std::to_string(code);
    } else {
        outcome.ended = ChildOutcome::Ended::Normally;
    }
    return outcome;
}

void ServeIfChild(int argc, char **argv, ChildTask task, FaultLine faultLine)
{
    if (argc != 3 || std::string(argv[1]) != kChildFlag) {
        return;
    }
    g_answer = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(argv[2], nullptr, 10)));
    g_faultLine = faultLine;
    // No error box and no debugger: an exception ends the process, its code
    // the exit status the parent names.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(EndWithExceptionCode);
    const std::string request = ReadAll(::GetStdHandle(STD_INPUT_HANDLE));
    const std::string answer = task(request);
    std::fflush(stdout);
    ::ExitProcess(WriteAll(g_answer, answer) ? 0 : 1);
}

} // namespace platform
