// Turns the untyped address the platform layer finds in a kernel library
// into the kernel entry the contract declares.
#pragma once

#include "matmul_kernel.h"

#include <cstring>

inline KernelEntry AsKernelEntry(void *symbol)
{
    // Object and function pointers have the same size on every platform
    // that loads libraries at run time; the copy avoids a cast between them.
    KernelEntry entry = nullptr;
    static_assert(sizeof entry == sizeof symbol);
    std::memcpy(&entry, &symbol, sizeof entry);
    return entry;
}
