# matmul_add_kernel(<name> <source>...)
# A kernel library, loaded at run time by path: <name>.so (or <name>.dll)
# with no "lib" prefix in the program's directory, exporting only what its
# sources mark with KERNEL_DEFINE.
function(matmul_add_kernel name)
  add_library(${name} MODULE ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${MATMUL_BIN_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${MATMUL_BIN_DIR})
endfunction()
