// Faults on Linux: handlers for the four fault signals, on an alternate
// stack, calling only async-signal-safe functions (write and _exit).
#include "fault_report.h"

#include "process.h"

#include <csignal>
#include <cstddef>
#include <string_view>

#include <unistd.h>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGFPE, SIGSEGV, SIGILL, SIGBUS};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

const FaultReport *volatile g_report = nullptr;
bool g_installed = false;
struct sigaction g_previous[kSignalCount];
stack_t g_previousStack;
// Enough for the handler, which only writes; a fixed size, since SIGSTKSZ
// need not be a constant.
alignas(64) char g_stack[64 * 1024];

const char *FaultName(int signal)
{
    switch (signal) {
    case SIGFPE:
        return "a floating-point exception (SIGFPE)";
    case SIGSEGV:
        return "a segmentation fault (SIGSEGV)";
    case SIGILL:
        return "an illegal instruction (SIGILL)";
    case SIGBUS:
        return "a bus error (SIGBUS)";
    default:
        return "a fault";
    }
}

void OnFault(int signal)
{
    const FaultReport *report = g_report;
    if (report == nullptr) {
        // Cleared meanwhile: the default action, once the instruction runs
        // again.
        std::signal(signal, SIG_DFL);
        return;
    }
    WriteStdout(report->before);
    WriteStdout(FaultName(signal));
    WriteStdout(report->after);
    _exit(report->status);
}

} // namespace

void ReportFaults(const FaultReport *report)
{
    g_report = report;
    if (report != nullptr && !g_installed) {
        stack_t stack{};
        stack.ss_sp = g_stack;
        stack.ss_size = sizeof g_stack;
        sigaltstack(&stack, &g_previousStack);
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            struct sigaction action {};
            action.sa_handler = OnFault;
            action.sa_flags = SA_ONSTACK;
            sigfillset(&action.sa_mask);
            sigaction(kSignals[i], &action, &g_previous[i]);
        }
        g_installed = true;
    } else if (report == nullptr && g_installed) {
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            sigaction(kSignals[i], &g_previous[i], nullptr);
        }
        sigaltstack(&g_previousStack, nullptr);
        g_installed = false;
    }
}

} // namespace platform
