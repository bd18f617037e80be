# What both mingw-w64 toolchains share. Expects MATMUL_MINGW_TRIPLE,
# MATMUL_MINGW_FLAGS and MATMUL_MINGW_BITS.
include_guard()

# The POSIX-threads flavour: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${MATMUL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MATMUL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MATMUL_MINGW_TRIPLE}-windres)
set(CMAKE_NM ${MATMUL_MINGW_TRIPLE}-nm)
set(CMAKE_OBJDUMP ${MATMUL_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${MATMUL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_C_FLAGS_INIT "${MATMUL_MINGW_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${MATMUL_MINGW_FLAGS}")
# Linked statically: otherwise every program and library needs the
# compiler's runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The programs run under the wine loader for their width. Where this host
# cannot run them, MATMUL_CANNOT_RUN says why: the build still compiles and
# links everything, and the tests that would run a program skip with it.
# -DMATMUL_WINE_LOADER=<loader> chooses the loader by hand.
include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
if(MATMUL_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MATMUL_WINE_LOADER})
else()
  matmul_wine_loader(${MATMUL_MINGW_BITS} loader MATMUL_CANNOT_RUN reason_detail)
  if(loader)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${loader})
  else()
    message(STATUS "Not running this build's programs: ${MATMUL_CANNOT_RUN} (${reason_detail})")
  endif()
endif()
