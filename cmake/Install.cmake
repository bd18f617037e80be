# What `cmake --install` puts in the prefix:
#   bin/                      Test, Verify, Latency, the registered kernel libraries
#                             and their kernels.txt, side by side, so that
#                             Test finds a kernel by its bare library name;
#                             and the bench as the command matmul4-bench,
#                             which uses what lies beside it;
#   share/matmul4-bench/      the bench's Python modules;
#   include/matmul_kernel.h   the kernel entry contract;
#   lib/cmake/matmul4-bench/  the package an out-of-tree kernel project finds
#                             with find_package(matmul4-bench CONFIG), giving
#                             it matmul_add_kernel and matmul::kernel_contract
#                             (and matmul::Test, matmul::Verify, matmul::Latency
#                             to run), with the feature table the kernels'
#                             FEATURES are read from; it lists the project's
#                             kernels in its own build's kernels.txt, for
#                             matmul4-bench --kernel-list.
include_guard(GLOBAL)
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
set(MATMUL_FEATURE_TABLE_FILE ${MATMUL_PACKAGE_DIR}/features.def)
configure_package_config_file(cmake/matmul4-bench-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench-config.cmake
  INSTALL_DESTINATION ${MATMUL_PACKAGE_DIR}
  PATH_VARS MATMUL_FEATURE_TABLE_FILE)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench-config-version.cmake
  cmake/KernelLibrary.cmake
  ${MATMUL_FEATURE_TABLE}
  DESTINATION ${MATMUL_PACKAGE_DIR})

# The bench: its modules, and a command beside the programs that finds them
# by the same relative path wherever the prefix is.
set(MATMUL_BENCH_MODULE_DIR ${CMAKE_INSTALL_DATADIR}/matmul4-bench)
file(RELATIVE_PATH MATMUL_BENCH_MODULES /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${MATMUL_BENCH_MODULE_DIR})
configure_file(bench/matmul4-bench.in ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/matmul4-bench DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES bench/run_bench.py bench/bench_run.py bench/bench_machine.py bench/bench_records.py
  bench/bench_stats.py bench/bench_programs.py bench/bench_output.py bench/bench_chart.py bench/kernel_list.py
  bench/kernel_model.py bench/saved_run.py
  DESTINATION ${MATMUL_BENCH_MODULE_DIR})
