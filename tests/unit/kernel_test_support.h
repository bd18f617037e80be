// Helpers for the tests that call kernels: a kernel library loaded as the
// programs load it, and matrices to feed kernels and compare results.
#pragma once

#include "kernel_loading.h"
#include "matmul_kernel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cmath>
#include <cstring>
#include <random>

// Loads a kernel library as the programs do and keeps it loaded for the
// life of the object.
class KernelLibrary {
public:
    KernelLibrary(const char *path, const char *procedure) : kernel_(LoadKernel(path, procedure, 0)) {}
    ~KernelLibrary()
    {
        if (kernel_.library != nullptr) {
            platform::CloseLibrary(kernel_.library);
        }
    }
    KernelLibrary(const KernelLibrary &) = delete;
    KernelLibrary &operator=(const KernelLibrary &) = delete;

    KernelEntry entry() const { return kernel_.entry; }

private:
    LoadedKernel kernel_;
};

inline Matrix4 Identity()
{
    Matrix4 m{};
    for (int i = 0; i < 4; ++i) {
        m.m[i][i] = 1.0f;
    }
    return m;
}

// Every element set to value.
inline Matrix4 Filled(float value)
{
    Matrix4 m;
    for (auto &row : m.m) {
        for (float &x : row) {
            x = value;
        }
    }
    return m;
}

inline bool SameBits(const Matrix4 &x, const Matrix4 &y)
{
    return std::memcmp(&x, &y, sizeof x) == 0;
}

// Operands of mixed signs and magnitudes: each element a random significand
// times 2^e for e in [-spread, spread], with a random sign.
inline Matrix4 MixedOperand(std::mt19937 &rng, int spread)
{
    std::uniform_real_distribution<float> significand(1.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-spread, spread);
    Matrix4 m;
    for (auto &row : m.m) {
        for (float &x : row) {
            x = std::ldexp(significand(rng), exponent(rng)) * ((rng() & 1) != 0 ? -1.0f : 1.0f);
        }
    }
    return m;
}

// Runs a kernel on three matrices placed inside a guarded block at the given
// byte offset from a 64-byte boundary, and checks that it writes exactly
// the 64 result bytes and leaves the operands as they were.
inline Matrix4 RunGuarded(KernelEntry entry, const Matrix4 &a, const Matrix4 &b, std::size_t offset,
                          const Matrix4 *initial = nullptr)
{
    constexpr unsigned char kGuard = 0xA5;
    alignas(64) unsigned char block[64 * 6 + 64];
    std::memset(block, kGuard, sizeof block);
    unsigned char *base = block + 64 + offset;
    Matrix4 *result = reinterpret_cast<Matrix4 *>(base);
    Matrix4 *pa = reinterpret_cast<Matrix4 *>(base + 128);
    Matrix4 *pb = reinterpret_cast<Matrix4 *>(base + 256);
    if (initial != nullptr) {
        std::memcpy(result, initial, sizeof *result);
    }
    std::memcpy(pa, &a, sizeof a);
    std::memcpy(pb, &b, sizeof b);
    entry(result, pa, pb);
    for (std::size_t i = 0; i < sizeof block; ++i) {
        const unsigned char *p = block + i;
        const bool inside = (p >= base && p < base + 64) || (p >= base + 128 && p < base + 192) ||
                            (p >= base + 256 && p < base + 320);
        if (!inside) {
            EXPECT_EQ(*p, kGuard) << "byte " << i << " outside the matrices was written";
        }
    }
    EXPECT_TRUE(SameBits(*pa, a)) << "first operand changed";
    EXPECT_TRUE(SameBits(*pb, b)) << "second operand changed";
    Matrix4 out;
    std::memcpy(&out, result, sizeof out);
    return out;
}
