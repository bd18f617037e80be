# What `cmake --install` puts in the prefix:
#   bin/                      Test, Verify, Latency, the registered kernel libraries
#                             and their kernels.txt, side by side, so that
#                             Test finds a kernel by its bare library name;
#   include/matmul_kernel.h   the kernel entry contract;
#   lib/cmake/matmul4-bench/  the package an out-of-tree kernel project finds
#                             with find_package(matmul4-bench CONFIG), giving
#                             it matmul_add_kernel and matmul::kernel_contract
#                             (and matmul::Test, matmul::Verify, matmul::Latency
#                             to run).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MATMUL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/matmul4-bench)

install(TARGETS Test Verify Latency kernel_contract
  EXPORT matmul4-bench-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The kernel libraries are for Test to load, not for a project to link.
get_property(MATMUL_INSTALLED_KERNELS GLOBAL PROPERTY MATMUL_KERNELS)
install(TARGETS ${MATMUL_INSTALLED_KERNELS}
  LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${MATMUL_KERNEL_LIST} DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT matmul4-bench-targets
  NAMESPACE matmul::
  DESTINATION ${MATMUL_PACKAGE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  cmake/matmul4-bench-config.cmake
  cmake/KernelLibrary.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench-config-version.cmake
  DESTINATION ${MATMUL_PACKAGE_DIR})
