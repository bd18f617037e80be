# Cross build for 32-bit Windows on x86 with mingw-w64; tests run under wine.
# The baseline is i686 with SSE2, the instruction set every 32-bit Windows
# since Windows 8 requires; double arithmetic is then real double precision
# rather than the x87 unit's extended precision, so the kernels round where
# they say they do.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MATMUL_MINGW_TRIPLE i686-w64-mingw32)
set(MATMUL_MINGW_BITS 32)
set(MATMUL_MINGW_FLAGS "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
