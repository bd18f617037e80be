/*
 * The kernel entry contract shared by the benchmark program and every kernel
 * library. Valid C and C++, so a kernel can be written in either.
 *
 * A kernel library exports one procedure of type KernelEntry. The program
 * loads the library at run time, finds the procedure by name and calls it
 * with three pointers to 4x4 single-precision matrices stored row by row:
 * the result first, then the two operands. The kernel writes only the 64
 * bytes of the result, reads only the operands, keeps no pointer beyond the
 * call and may be called any number of times in a row with the same
 * arguments. The program's matrices start on 16-byte boundaries and lie back
 * to back (result, first operand, second operand); a kernel may rely on that
 * alignment and on nothing stricter. The returned word is ignored.
 */
#ifndef MATMUL_KERNEL_H
#define MATMUL_KERNEL_H

#include <stdint.h>

/* A 4x4 matrix of IEEE single-precision values; m[i][j] is element 4*i + j. */
typedef struct Matrix4 {
    float m[4][4];
} Matrix4;

/* Alignment the program guarantees for each of its three matrices. */
#define MATRIX4_ALIGNMENT 16

/* Calling convention of a kernel: __stdcall on 32-bit Windows, the
 * platform's plain C convention everywhere else. */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define KERNEL_CALL __stdcall
#else
#define KERNEL_CALL
#endif

#ifdef __cplusplus
#define KERNEL_EXTERN_C extern "C"
#else
#define KERNEL_EXTERN_C
#endif

#if defined(_WIN32)
#define KERNEL_EXPORT __declspec(dllexport)
#else
#define KERNEL_EXPORT __attribute__((visibility("default")))
#endif

/* The procedure a kernel library exports. */
typedef intptr_t(KERNEL_CALL *KernelEntry)(Matrix4 *result, const Matrix4 *a, const Matrix4 *b);

/* Declares (and, followed by a body, defines) an exported kernel:
 *     KERNEL_DEFINE(my_kernel) { ... return 0; }
 */
#define KERNEL_DEFINE(name)                                                    \
    KERNEL_EXTERN_C KERNEL_EXPORT intptr_t KERNEL_CALL name(                   \
        Matrix4 *result, const Matrix4 *a, const Matrix4 *b)

/* The library's start-up routine (LibraryEntry). On Windows it is the DLL
 * entry point and reports success for every load and unload notification;
 * elsewhere nothing needs to run when a library is loaded, and the macro
 * expands to nothing. Place KERNEL_LIBRARY_ENTRY once, at file scope, in one
 * source file of each library. */
#if defined(_WIN32)
typedef int __stdcall LibraryEntry(void *instance, unsigned long reason, void *reserved);
#define KERNEL_LIBRARY_ENTRY                                                   \
    KERNEL_EXTERN_C LibraryEntry DllMain;                                      \
    KERNEL_EXTERN_C int __stdcall DllMain(void *instance, unsigned long reason, \
                                          void *reserved)                      \
    {                                                                          \
        (void)instance;                                                        \
        (void)reason;                                                          \
        (void)reserved;                                                        \
        return 1;                                                              \
    }
#else
#define KERNEL_LIBRARY_ENTRY
#endif

#endif /* MATMUL_KERNEL_H */
