// Kernels each wrong in one way, for Verify's tests. Every one would be
// timed by Test like a correct kernel.
#include "matmul_kernel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

float Element(const Matrix4 *a, const Matrix4 *b, int i, int j)
{
    return a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j] + a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j];
}

Matrix4 g_previous;

void Product(Matrix4 *result, const Matrix4 *a, const Matrix4 *b)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
}

bool AllPositive(const Matrix4 *m)
{
    for (const auto &row : m->m) {
        for (float x : row) {
            if (!(x > 0.0f)) {
                return false;
            }
        }
    }
    return true;
}

// Where a test wants to know which process ran the kernel: the path in
// VERIFY_TEST_PID_FILE gets this process's id.
void TellProcessId(unsigned long id)
{
    if (const char *path = std::getenv("VERIFY_TEST_PID_FILE")) {
        if (std::FILE *file = std::fopen(path, "w")) {
            std::fprintf(file, "%lu\n", id);
            std::fclose(file);
        }
    }
}

#if defined(_WIN32)
DWORD WINAPI SleepForever(void *)
{
    ::Sleep(INFINITE);
    return 0;
}
#else
void *SleepForever(void *)
{
    for (;;) {
        pause();
    }
}
#endif

} // namespace

KERNEL_LIBRARY_ENTRY

// The transpose of a*b.
KERNEL_DEFINE(transposed)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[j][i] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Right until its 1,000,000th call, then writes nothing: in the middle of
// Latency's second chain at 600,000 calls a chain.
KERNEL_DEFINE(stops_after_million)
{
    static long calls = 0;
    if (++calls <= 1000000) {
        Product(result, a, b);
    }
    return 0;
}

// Right, but writes nothing in eight calls in a row out of every thousand:
// once in each of Latency's timed chains at 1,000 calls a chain.
KERNEL_DEFINE(skips_eight)
{
    static long calls = 0;
    if (++calls % 1000 < 500 || calls % 1000 >= 508) {
        Product(result, a, b);
    }
    return 0;
}

// Right, but unmasks the precision exception in MXCSR and leaves it so;
// each call first divides 1 by 3, as arithmetic on real data rounds, which
// faults once the exception is unmasked.
KERNEL_DEFINE(unmasks_precision)
{
    volatile float one = 1.0f;
    volatile float three = 3.0f;
    volatile float third = one / three;
    (void)third;
    Product(result, a, b);
#if defined(__x86_64__) || defined(__i386__)
    unsigned control = 0;
    __asm__ volatile("stmxcsr %0" : "=m"(control));
    control &= ~0x1000u;
    __asm__ volatile("ldmxcsr %0" : : "m"(control));
#endif
    return 0;
}

// Writes 42 everywhere, under the null kernel's name: a copy of this library
// named as the null kernel's, elsewhere, is judged as any other kernel.
KERNEL_DEFINE(null_kernel)
{
    (void)a;
    (void)b;
    for (auto &row : result->m) {
        for (float &x : row) {
            x = 42.0f;
        }
    }
    return 0;
}

// Adds a*b onto whatever the result held.
KERNEL_DEFINE(accumulates)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] += Element(a, b, i, j);
        }
    }
    return 0;
}

// Right, but uses the first operand as scratch.
KERNEL_DEFINE(scribbles)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    const_cast<Matrix4 *>(a)->m[3][3] = 0.0f;
    return 0;
}

// Right, then clears one element past the result.
KERNEL_DEFINE(writes_past)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    volatile float *past = &result->m[3][3] + 1;
    *past = 0.0f;
    return 0;
}

// Right, but reads one element past the second operand.
KERNEL_DEFINE(reads_past)
{
    volatile const float *past = &b->m[3][3] + 1;
    const float extra = *past * 0.0f;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j) + extra;
        }
    }
    return 0;
}

// Writes the first two rows only.
KERNEL_DEFINE(half_written)
{
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Returns the product of the previous call's operands.
KERNEL_DEFINE(stale)
{
    std::memcpy(result, &g_previous, sizeof *result);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            g_previous.m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Needs 32-byte alignment, as an aligned 256-bit load would.
KERNEL_DEFINE(needs_32_bytes)
{
    if (reinterpret_cast<std::uintptr_t>(result) % 32 != 0) {
        std::abort();
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

// Faults at once.
KERNEL_DEFINE(crashes)
{
    (void)a;
    (void)b;
    // An address in the first page, which no process maps; laundered
    // through a volatile so the compiler cannot see what it is.
    volatile std::uintptr_t address = 64;
    *reinterpret_cast<volatile float *>(address) = result->m[0][0];
    return 0;
}

// Right, and from its second call on, when every element of both operands
// is positive (as Test draws them), clears the float right past the result:
// in Test's layout that is a[0][0].
KERNEL_DEFINE(writes_past_when_positive)
{
    static int calls = 0;
    Product(result, a, b);
    if (++calls > 1 && AllPositive(a) && AllPositive(b)) {
        volatile float *past = &result->m[3][3] + 1;
        *past = 0.0f;
    }
    return 0;
}

// Transposes b in place, multiplies by the transpose's columns, and puts b
// back: the operands end as they were, but b was written.
KERNEL_DEFINE(transposes_in_place)
{
    auto *t = const_cast<Matrix4 *>(b);
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            const float x = t->m[i][j];
            t->m[i][j] = t->m[j][i];
            t->m[j][i] = x;
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            result->m[i][j] = a->m[i][0] * t->m[j][0] + a->m[i][1] * t->m[j][1] + a->m[i][2] * t->m[j][2] +
                              a->m[i][3] * t->m[j][3];
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            const float x = t->m[i][j];
            t->m[i][j] = t->m[j][i];
            t->m[j][i] = x;
        }
    }
    return 0;
}

// Writes zeros for a row of a that is all zeros, where IEEE arithmetic
// gives NaN wherever b holds an infinity or a NaN.
KERNEL_DEFINE(skips_zero_rows)
{
    Product(result, a, b);
    for (int i = 0; i < 4; ++i) {
        if (a->m[i][0] == 0.0f && a->m[i][1] == 0.0f && a->m[i][2] == 0.0f && a->m[i][3] == 0.0f) {
            for (float &x : result->m[i]) {
                x = 0.0f;
            }
        }
    }
    return 0;
}

// Right everywhere but at 32 bytes past a 64-byte boundary, where Test's
// matrices lie: there it swaps two elements.
KERNEL_DEFINE(wrong_at_32_mod_64)
{
    Product(result, a, b);
    if (reinterpret_cast<std::uintptr_t>(result) % 64 == 32) {
        const float x = result->m[0][1];
        result->m[0][1] = result->m[1][0];
        result->m[1][0] = x;
    }
    return 0;
}

// Right, and prints as it goes, through the C library and around it.
KERNEL_DEFINE(prints)
{
    Product(result, a, b);
    std::printf("{ debug: not JSON\n");
    std::fflush(stdout);
#if !defined(_WIN32)
    (void)!write(1, "] raw\n", 6);
#endif
    return 0;
}

// Right, but leaves the x87 unit with a value on its stack, as a kernel
// declared to return a float does on 32-bit Windows.
KERNEL_DEFINE(leaves_x87_value)
{
    Product(result, a, b);
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("fld1");
#endif
    return 0;
}

// Right, but declared to return a float: on 32-bit x86 the value is left
// on the x87 stack for a caller that expects an integer.
KERNEL_EXTERN_C KERNEL_EXPORT float KERNEL_CALL returns_float(Matrix4 *result, const Matrix4 *a, const Matrix4 *b)
{
    Product(result, a, b);
    return 1.0f;
}

// Right, but returns with the direction flag set.
KERNEL_DEFINE(leaves_direction_flag)
{
    Product(result, a, b);
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("std");
#endif
    return 0;
}

// Right, and starts a thread that never ends.
KERNEL_DEFINE(leaves_thread)
{
    Product(result, a, b);
    static bool started = false;
    if (!started) {
        started = true;
#if defined(_WIN32)
        if (HANDLE thread = ::CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr)) {
            ::CloseHandle(thread);
        }
#else
        pthread_t thread;
        if (pthread_create(&thread, nullptr, SleepForever, nullptr) == 0) {
            pthread_detach(thread);
        }
#endif
    }
    return 0;
}

#if defined(_WIN32)
// What the helper process below runs: rundll32 calls it, and it sleeps.
extern "C" __declspec(dllexport) void __stdcall sleep_forever(void *, void *, char *, int)
{
    ::Sleep(INFINITE);
}
#endif

// Right, and its first call starts a process that never ends and holds
// whatever the kernel's process let it inherit, the answer pipe included.
KERNEL_DEFINE(starts_helper)
{
    static bool started = false;
    if (!started) {
        started = true;
#if defined(_WIN32)
        HMODULE self = nullptr;
        char path[MAX_PATH];
        if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<const char *>(&sleep_forever), &self) &&
            ::GetModuleFileNameA(self, path, sizeof path) < sizeof path) {
            std::string command = std::string("rundll32.exe \"") + path + "\",sleep_forever";
            STARTUPINFOA startup{};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION process{};
            if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &process)) {
                TellProcessId(process.dwProcessId);
                ::CloseHandle(process.hThread);
                ::CloseHandle(process.hProcess);
            }
        }
#else
        if (fork() == 0) {
            TellProcessId(static_cast<unsigned long>(getpid()));
            for (;;) {
                pause();
            }
        }
#endif
    }
    Product(result, a, b);
    return 0;
}

// Never returns; tells the id of the process it runs in first.
KERNEL_DEFINE(never_returns)
{
    (void)result;
    (void)a;
    (void)b;
#if defined(_WIN32)
    TellProcessId(::GetCurrentProcessId());
    ::Sleep(INFINITE);
#else
    TellProcessId(static_cast<unsigned long>(getpid()));
    for (;;) {
        pause();
    }
#endif
    return 0;
}

// Not a kernel at all: an exported variable, which must never be called.
extern "C" KERNEL_EXPORT int not_a_kernel;
int not_a_kernel = 1;

// Right, as a plain loop whose sum starts from 0.0f rather than from the
// first product: where every product is -0, the result is +0, not -0.
KERNEL_DEFINE(sums_from_plus_zero)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            float sum = 0.0f;
            for (int c = 0; c < 4; ++c) {
                sum += a->m[i][c] * b->m[c][j];
            }
            result->m[i][j] = sum;
        }
    }
    return 0;
}
