// Verify's isolation on Windows: VirtualAlloc/VirtualProtect pages, and a
// child that is a new run of this program, sent its request on standard
// input and answering on standard output. An exception the kernel raises
// ends the child with the exception's code as its exit status.
#include "isolation.h"

#include <cstdio>
#include <string>
#include <thread>

#include <windows.h>

namespace isolation {
namespace {

constexpr char kChildFlag[] = "--isolated-child";

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

LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS *info)
{
    ::TerminateProcess(::GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
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

bool SetPagesAccessible(void *first, std::size_t count, bool accessible)
{
    DWORD old = 0;
    return ::VirtualProtect(first, count * PageSize(), accessible ? PAGE_READWRITE : PAGE_NOACCESS, &old) != 0;
}

void ReleasePages(void *first, std::size_t)
{
    ::VirtualFree(first, 0, MEM_RELEASE);
}

ChildOutcome RunInChild(ChildTask, const std::string &request, int timeoutSeconds)
{
    ChildOutcome outcome;
    char program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) {
        outcome.how = "cannot find this program's own path";
        return outcome;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
    HANDLE childOut = nullptr;
    if (!::CreatePipe(&childIn, &toChild, &inherit, 0) || !::CreatePipe(&fromChild, &childOut, &inherit, 0)) {
        outcome.how = "no pipe";
        return outcome;
    }
    ::SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = std::string("\"") + program + "\" " + kChildFlag;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessA(program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    ::CloseHandle(childIn);
    ::CloseHandle(childOut);
    if (!started) {
        outcome.how = "no child process";
        ::CloseHandle(toChild);
        ::CloseHandle(fromChild);
        return outcome;
    }
    // The request is small; the reader drains the answer while we wait.
    WriteAll(toChild, request);
    ::CloseHandle(toChild);
    std::string answer;
    std::thread reader([&answer, fromChild] { answer = ReadAll(fromChild); });
    const DWORD waited = ::WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutSeconds) * 1000u);
    if (waited != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    reader.join();
    ::CloseHandle(fromChild);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0) {
        outcome.ended = ChildOutcome::Ended::TimedOut;
        outcome.how = "no answer within " + std::to_string(timeoutSeconds) + " s";
    } else if (code != 0) {
        outcome.ended = ChildOutcome::Ended::Fault;
        outcome.how = code >= 0xC0000000u ? ExceptionName(code) : "exit status " + std::to_string(code);
    } else {
        outcome.ended = ChildOutcome::Ended::Normally;
        outcome.output = std::move(answer);
    }
    return outcome;
}

void ServeIfChild(int argc, char **argv, ChildTask task)
{
    if (argc != 2 || std::string(argv[1]) != kChildFlag) {
        return;
    }
    // No error box and no debugger: an exception ends the process, its code
    // the exit status the parent names.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(EndWithExceptionCode);
    const std::string request = ReadAll(::GetStdHandle(STD_INPUT_HANDLE));
    const bool written = WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), task(request));
    ::ExitProcess(written ? 0 : 1);
}

} // namespace isolation
