# Cross build for 64-bit ARM Linux (AArch64) with Debian's
# g++-aarch64-linux-gnu; tests and the bench smoke run under qemu-user's
# qemu-aarch64, which finds the target's loader and C library under the
# cross root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MATMUL_CROSS_TRIPLE aarch64-linux-gnu)
set(MATMUL_CROSS_ROOT /usr/${MATMUL_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${MATMUL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MATMUL_CROSS_TRIPLE}-g++)
set(CMAKE_NM ${MATMUL_CROSS_TRIPLE}-nm)
set(CMAKE_OBJDUMP ${MATMUL_CROSS_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH ${MATMUL_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MATMUL_QEMU qemu-aarch64 REQUIRED)
# -L: where the emulator finds ld-linux-aarch64.so.1 and the libraries a
# program needs.
set(CMAKE_CROSSCOMPILING_EMULATOR ${MATMUL_QEMU};-L;${MATMUL_CROSS_ROOT})
