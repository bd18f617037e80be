# Cross build for 64-bit Windows with mingw-w64; tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MATMUL_MINGW_TRIPLE x86_64-w64-mingw32)
set(MATMUL_MINGW_BITS 64)
set(MATMUL_MINGW_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
