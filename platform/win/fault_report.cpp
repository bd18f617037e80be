// Faults on Windows: an unhandled-exception filter, which runs when no
// handler of the faulting code takes the exception.
#include "fault_report.h"

#include "process.h"

#include <windows.h>

namespace platform {
namespace {

const FaultReport *volatile g_report = nullptr;
bool g_installed = false;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

// Raised for an unmasked SSE exception, where the x87 unit raises one of
// the EXCEPTION_FLT_ codes.
constexpr DWORD kFloatMultipleFaults = 0xC00002B4;
constexpr DWORD kFloatMultipleTraps = 0xC00002B5;

#define MATMUL_NAMED(code, what)                                                                                      \
    case code:                                                                                                        \
        return what " (" #code ")"

const char *ExceptionName(DWORD code)
{
    switch (code) {
        MATMUL_NAMED(EXCEPTION_ACCESS_VIOLATION, "an access violation");
        MATMUL_NAMED(EXCEPTION_IN_PAGE_ERROR, "an in-page error");
        MATMUL_NAMED(EXCEPTION_STACK_OVERFLOW, "a stack overflow");
        MATMUL_NAMED(EXCEPTION_ILLEGAL_INSTRUCTION, "an illegal instruction");
        MATMUL_NAMED(EXCEPTION_PRIV_INSTRUCTION, "a privileged instruction");
        MATMUL_NAMED(EXCEPTION_DATATYPE_MISALIGNMENT, "a misaligned access");
        MATMUL_NAMED(EXCEPTION_INT_DIVIDE_BY_ZERO, "an integer division by zero");
        MATMUL_NAMED(EXCEPTION_INT_OVERFLOW, "an integer overflow");
        MATMUL_NAMED(EXCEPTION_FLT_DIVIDE_BY_ZERO, "a floating-point exception");
        MATMUL_NAMED(EXCEPTION_FLT_INVALID_OPERATION, "a floating-point exception");
        MATMUL_NAMED(EXCEPTION_FLT_OVERFLOW, "a floating-point exception");
        MATMUL_NAMED(EXCEPTION_FLT_UNDERFLOW, "a floating-point exception");
        MATMUL_NAMED(EXCEPTION_FLT_INEXACT_RESULT, "a floating-point exception");
        MATMUL_NAMED(EXCEPTION_FLT_DENORMAL_OPERAND, "a floating-point exception");
        MATMUL_NAMED(EXCEPTION_FLT_STACK_CHECK, "a floating-point exception");
        MATMUL_NAMED(kFloatMultipleFaults, "a floating-point exception");
        MATMUL_NAMED(kFloatMultipleTraps, "a floating-point exception");
    default:
        return nullptr;
    }
}

#undef MATMUL_NAMED

LONG WINAPI OnException(EXCEPTION_POINTERS *info)
{
    const FaultReport *report = g_report;
    if (report == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    WriteStdout(report->before);
    if (const char *name = ExceptionName(code)) {
        WriteStdout(name);
    } else {
        // Any other exception, by its code: "an exception (0xC0000409)".
        char text[] = "an exception (0x00000000)";
        for (int digit = 0; digit < 8; ++digit) {
            text[23 - digit] = "0123456789ABCDEF"[(code >> (4 * digit)) & 0xF];
        }
        WriteStdout(text);
    }
    WriteStdout(report->after);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(report->status));
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void ReportFaults(const FaultReport *report)
{
    g_report = report;
    if (report != nullptr && !g_installed) {
        // No error box and no debugger either: the report ends the process.
        const UINT mode = ::SetErrorMode(0);
        ::SetErrorMode(mode | SEM_NOGPFAULTERRORBOX);
        g_previous = ::SetUnhandledExceptionFilter(OnException);
        g_installed = true;
    } else if (report == nullptr && g_installed) {
        ::SetUnhandledExceptionFilter(g_previous);
        g_installed = false;
    }
}

} // namespace platform
