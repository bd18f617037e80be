# The installed package: the kernel entry contract as matmul::kernel_contract,
# the programs as matmul::Test, matmul::Verify and matmul::Latency, and
# matmul_add_kernel, which builds a kernel library into MATMUL_BIN_DIR (by
# default the project's own ${CMAKE_BINARY_DIR}/bin), optimised where the
# project names no build type.
include(${CMAKE_CURRENT_LIST_DIR}/matmul4-bench-targets.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/KernelLibrary.cmake)
