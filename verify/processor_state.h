// The processor state a kernel must hand back as it found it: on x86 the
// x87 register stack empty, the x87 control word, the SSE control bits and
// the direction flag clear (the calling conventions require all four); on
// AArch64 the floating-point control register. A kernel that leaves a value
// on the x87 stack (or, on 32-bit Windows, is declared to return a float)
// makes the caller's x87 arithmetic overflow after eight calls.
#pragma once

#include "matmul_kernel.h"

#include <string>

// Calls the kernel, then puts the state back as it was before the call and
// says what the kernel had changed ("left 1 value on the x87 stack"); empty
// when it changed nothing.
std::string CallRestoringState(KernelEntry entry, Matrix4 *result, const Matrix4 *a, const Matrix4 *b);

// What CallRestoringState watches on this processor, for the report.
const char *WatchedState();
