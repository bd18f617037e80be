// A fault in the program's own process, ended with a report rather than in
// silence: a kernel that raises a floating-point exception, touches memory it
// may not, runs an instruction the processor lacks or makes a misaligned
// access then leaves a reason behind, and the exit status the caller chose.
// Each system's file provides it: signal handlers for SIGFPE, SIGSEGV,
// SIGILL and SIGBUS, run on a stack of their own so that an overflowed stack
// is reported too (unix/fault_report.cpp); an unhandled-exception filter
// (win/fault_report.cpp).
#pragma once

#include <string>

namespace platform {

// What a fault writes, through WriteStdout: before, then the fault as the
// system names it ("a floating-point exception (SIGFPE)", "an access
// violation (EXCEPTION_ACCESS_VIOLATION)": plain ASCII with no quote or
// backslash, so that it may stand inside a JSON string), then after. The
// process then ends with status.
struct FaultReport {
    std::string before;
    std::string after;
    int status = 1;
};

// From now on a fault ends the process with this report, which must stay
// unchanged and alive until the next call. Null puts back what a fault did
// before the first call.
void ReportFaults(const FaultReport *report);

} // namespace platform
