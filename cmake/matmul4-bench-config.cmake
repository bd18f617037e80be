# The installed package: the kernel entry contract as matmul::kernel_contract,
# the programs as matmul::Test and matmul::Verify, and matmul_add_kernel,
# which builds a kernel library into MATMUL_BIN_DIR (by default the
# project's own ${CMAKE_BINARY_DIR}/bin).
include(${CMAKE_CURRENT_LIST_DIR}/matmul4-bench-targets.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/KernelLibrary.cmake)
