# Portable builds of the x86 SIMD kernels, for the tests alone: the same
# source files built a second way that runs on any processor, so that a
# kernel's arithmetic is checked bit for bit where the processor cannot run
# the kernel itself (an AVX-512 kernel on a core without AVX-512).
#
# matmul_add_portable_kernel(<kernel> PROCEDURE <procedure>)
#
# Builds the registered kernel <kernel>'s sources into <kernel>_portable in
# test-kernels/, at the baseline instruction set (none of the kernel's ISA
# flags), with <immintrin.h> taken from kernels/portable/: SIMDe's
# implementation of the intrinsics in plain C under their usual names. The
# kernel's own procedure is exported as <procedure>, renamed by the
# preprocessor, so the source stays as it is and the kernel's own build is
# untouched. The library claims what the kernel is registered with (product
# and rounding models, read from its registration) and needs no processor
# feature; it is built with floating-point contraction off, as the kernel
# is, so that no multiply and add the source keeps apart is fused.
#
# Not installed and not in the bench's kernel list: the tests list the
# portable builds in test-kernels/portable_kernels.txt (in the kernel
# list's form) and verify them from there. Where SIMDe's headers are not
# found, nothing is built and the global property
# MATMUL_PORTABLE_NOT_BUILT says why; the tests show each portable check
# as skipped with that reason.
include_guard(GLOBAL)

set(MATMUL_PORTABLE_INTRINSICS ${CMAKE_CURRENT_LIST_DIR}/../kernels/portable)

# SIMDe is headers alone, the same for every target, so a cross build may
# take the host's (NO_CMAKE_FIND_ROOT_PATH): the cross toolchains otherwise
# search their own root alone.
find_path(MATMUL_SIMDE_INCLUDE_DIR simde/x86/avx512.h NO_CMAKE_FIND_ROOT_PATH
  DOC "The folder that holds SIMDe's headers (simde/x86/avx512.h), for the portable kernel builds")
if(MATMUL_SIMDE_INCLUDE_DIR)
  # The build sees SIMDe alone, through a folder holding just a link to it:
  # the folder SIMDe sits in is usually /usr/include, which on the include
  # path would put the host's C headers before a cross compiler's own and
  # the C library's before the C++ library's wrappers of them.
  set(MATMUL_SIMDE_ONLY ${CMAKE_BINARY_DIR}/simde-only)
  file(MAKE_DIRECTORY ${MATMUL_SIMDE_ONLY})
  file(CREATE_LINK ${MATMUL_SIMDE_INCLUDE_DIR}/simde ${MATMUL_SIMDE_ONLY}/simde SYMBOLIC COPY_ON_ERROR)
else()
  set_property(GLOBAL PROPERTY MATMUL_PORTABLE_NOT_BUILT
    "SIMDe's headers (simde/x86/avx512.h) were not found: install libsimde-dev, or set MATMUL_SIMDE_INCLUDE_DIR to the folder that holds simde/")
endif()

function(matmul_add_portable_kernel kernel)
  cmake_parse_arguments(ARG "" "PROCEDURE" "" ${ARGN})
  if(NOT ARG_PROCEDURE OR NOT TARGET ${kernel})
    message(FATAL_ERROR "matmul_add_portable_kernel(${kernel}): needs a registered kernel and PROCEDURE")
  endif()
  set_property(GLOBAL APPEND PROPERTY MATMUL_PORTABLE_PROCEDURES ${ARG_PROCEDURE})
  if(NOT MATMUL_SIMDE_INCLUDE_DIR)
    return()
  endif()
  set(name ${kernel}_portable)
  get_target_property(sources ${kernel} SOURCES)
  get_target_property(source_dir ${kernel} SOURCE_DIR)
  set(files)
  foreach(source IN LISTS sources)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
    list(APPEND files ${source})
  endforeach()
  matmul_build_kernel_library(${name} SOURCES ${files})
  get_target_property(procedure ${kernel} MATMUL_PROCEDURE)
  target_compile_definitions(${name} PRIVATE ${procedure}=${ARG_PROCEDURE}
    $<TARGET_PROPERTY:${kernel},COMPILE_DEFINITIONS>)
  target_include_directories(${name} BEFORE PRIVATE ${MATMUL_PORTABLE_INTRINSICS})
  target_include_directories(${name} SYSTEM PRIVATE ${MATMUL_SIMDE_ONLY})
  # -Wno-psabi: SIMDe passes 512-bit vectors by value between its inline
  # functions, which GCC and clang warn changes the calling convention
  # without AVX-512; no such call leaves the library.
  matmul_supported_flags(portable_flags -ffp-contract=off -Wno-psabi)
  target_compile_options(${name} PRIVATE ${portable_flags})
  set_target_properties(${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-kernels
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-kernels
    MATMUL_PROCEDURE ${ARG_PROCEDURE}
    MATMUL_MASK 0
    MATMUL_ROLE "-")
  foreach(property MATMUL_PRODUCT MATMUL_ROUNDING)
    get_target_property(value ${kernel} ${property})
    set_target_properties(${name} PROPERTIES ${property} "${value}")
  endforeach()
  set_property(GLOBAL APPEND PROPERTY MATMUL_PORTABLE_KERNELS ${name})
endfunction()
