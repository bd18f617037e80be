// A kernel library for the black-box tests. probe_kernel counts its calls
// and checks what the harness passes it; slow_kernel takes about two
// milliseconds a call so that the millisecond figures are not zero. The rest
// misbehave as a harness must survive: x87_kernel leaves a value on the x87
// register stack at each call; thread_kernel leaves a thread running the
// library's code; probe_data is a variable, not a function. When the library is unloaded (or the process ends) it reports on
// standard error:
//     probe: calls=N failures=F first=<what failed first>
#include "matmul_kernel.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

std::atomic<bool> g_spinning{false};
std::atomic<unsigned long long> g_spins{0};

// Runs this library's code until the process ends.
void Spin()
{
    for (;;) {
        g_spins.fetch_add(1, std::memory_order_relaxed);
    }
}

// Returns once the spinning thread, if there is one, is seen running, so
// that the library's unloading, which follows, finds it in the library's
// code; gives up after a fifth of a second (where the process's end has
// stopped the thread already, as on Windows).
void AwaitSpinning()
{
    if (!g_spinning) {
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    const unsigned long long start = g_spins;
    while (g_spins == start && std::chrono::steady_clock::now() < until) {
    }
}

struct Probe {
    unsigned long long calls = 0;
    unsigned long long failures = 0;
    const char *firstFailure = "none";
    const void *pointers[3] = {};
    Matrix4 firstA{};
    Matrix4 firstB{};
    float lastMark = 0;

    void Fail(const char *what)
    {
        if (failures++ == 0) {
            firstFailure = what;
        }
    }

    ~Probe()
    {
        AwaitSpinning();
        std::fprintf(stderr, "probe: calls=%llu failures=%llu first=%s\n", calls, failures, firstFailure);
    }
};

Probe g_probe;

bool InOperandRange(const Matrix4 &m)
{
    constexpr float kMax = 1048575.0f; // 2^20 - 1
    for (const auto &row : m.m) {
        for (float x : row) {
            if (!std::isfinite(x) || x > kMax || x < 1.0f / kMax) {
                return false;
            }
        }
    }
    return true;
}

bool Aligned(const void *p)
{
    return reinterpret_cast<std::uintptr_t>(p) % MATRIX4_ALIGNMENT == 0;
}

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(probe_kernel)
{
    Probe &p = g_probe;
    const char *r = reinterpret_cast<const char *>(result);
    if (p.calls == 0) {
        p.pointers[0] = result;
        p.pointers[1] = a;
        p.pointers[2] = b;
        p.firstA = *a;
        p.firstB = *b;
        if (!Aligned(result) || !Aligned(a) || !Aligned(b)) {
            p.Fail("alignment");
        }
        if (reinterpret_cast<const char *>(a) != r + 64 || reinterpret_cast<const char *>(b) != r + 128) {
            p.Fail("layout");
        }
        if (!InOperandRange(*a) || !InOperandRange(*b)) {
            p.Fail("operand-range");
        }
    } else {
        if (p.pointers[0] != result || p.pointers[1] != a || p.pointers[2] != b) {
            p.Fail("pointers-changed");
        }
        if (std::memcmp(&p.firstA, a, sizeof *a) != 0 || std::memcmp(&p.firstB, b, sizeof *b) != 0) {
            p.Fail("operands-changed");
        }
        // What this kernel left in the result must still be there.
        if (result->m[0][0] != p.lastMark) {
            p.Fail("result-touched");
        }
    }
    ++p.calls;
    p.lastMark = static_cast<float>(p.calls % 1000000);
    result->m[0][0] = p.lastMark;
    return 0;
}

KERNEL_DEFINE(slow_kernel)
{
    (void)result;
    (void)a;
    (void)b;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(2000);
    while (std::chrono::steady_clock::now() < until) {
    }
    ++g_probe.calls;
    return 0;
}

// Counts its calls and leaves a value on the x87 register stack, as a
// kernel declared to return a float leaves one where floats come back there
// (32-bit x86) and its caller pops nothing. It checks nothing: with the stack
// full, 32-bit x86 code that compares floats there gets invalid values.
KERNEL_DEFINE(x87_kernel)
{
    (void)result;
    (void)a;
    (void)b;
    ++g_probe.calls;
#if defined(__i386__) || defined(__x86_64__)
    __asm__ volatile("fld1");
#endif
    return 0;
}

// probe_kernel, after starting at its first call a thread that runs this
// library's code until the process ends.
KERNEL_DEFINE(thread_kernel)
{
    if (!g_spinning.exchange(true)) {
        std::thread(Spin).detach();
    }
    return probe_kernel(result, a, b);
}

// Exported data under a name a kernel could have: it must never be called.
extern "C" KERNEL_EXPORT int probe_data;
int probe_data = 1;
