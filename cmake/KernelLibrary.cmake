# matmul_add_kernel(<name> [SCALAR] [ISA <flag>...] SOURCES <source>...)
# A kernel library, loaded at run time by path: <name>.so (or <name>.dll)
# with no "lib" prefix in the program's directory, exporting only what its
# sources mark with KERNEL_DEFINE. SCALAR keeps the compiler from turning
# the kernel's arithmetic into vector instructions: such a kernel is a
# scalar reference point. ISA names the instruction-set flags this library
# alone is built with (-mavx2 ...); everything else stays at the baseline.
function(matmul_add_kernel name)
  cmake_parse_arguments(ARG "SCALAR" "" "ISA;SOURCES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${ARG_ISA})
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Export __stdcall kernels by their plain names (Mat_Mult, not Mat_Mult@12).
    target_link_options(${name} PRIVATE -Wl,--kill-at)
  endif()
  if(ARG_SCALAR)
    target_compile_options(${name} PRIVATE
      $<IF:$<CXX_COMPILER_ID:Clang>,-fno-vectorize;-fno-slp-vectorize,-fno-tree-vectorize>)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${MATMUL_BIN_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${MATMUL_BIN_DIR})
endfunction()
