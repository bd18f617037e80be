# The kernel registry. Every fact about a kernel is written once, in its
# matmul_add_kernel line; the build, the kernel list the bench and the tests
# read, and the tests' expectations all come from it.
#
# matmul_add_kernel(<name> PROCEDURE <procedure>
#                   [FEATURES <feature>... | MASK <mask>] [SCALAR]
#                   [PRODUCT a*b|b*a|none] [ROUNDING <model>...]
#                   [ROLE null|calibration|baseline|peer] [ADDS <count>]
#                   [ISA <flag>...] SOURCES <source>...)
#
# Builds <name>.so (or <name>.dll), with no "lib" prefix, into MATMUL_BIN_DIR
# (the program's directory in this tree; ${CMAKE_BINARY_DIR}/bin when unset,
# as in a project that finds the installed package), exporting only what its
# sources mark with KERNEL_DEFINE. Sources may be C or C++. A project that
# finds the installed package gets its kernels listed in
# ${CMAKE_BINARY_DIR}/kernels.txt (see matmul_write_project_kernel_list).
#   PROCEDURE  the exported kernel.
#   FEATURES   the processor features Test must find before it runs the
#              kernel, by the names of the feature table (AVX2 FMA, SSE SSE2,
#              AVX512F; see MATMUL_FEATURE_TABLE below). None: it runs
#              anywhere. The library alone is built with each feature's
#              compiler flag (see MATMUL_FEATURE_FLAGS below), so that its
#              sources may use the features' instructions and intrinsics.
#   MASK       the same as a number, the sum of the features' values (3072
#              for FMA and AVX2), for whoever has the number; give FEATURES
#              or MASK, not both. Either way the kernel list holds the number
#              and the library gets the flags of the features it adds up.
#   SCALAR     keeps the compiler from turning the kernel's arithmetic into
#              vector instructions: such a kernel is a scalar reference.
#   PRODUCT    what it computes, row-major: a*b (the default), b*a, or none
#              for a kernel that computes nothing on purpose (the null and
#              calibration kernels).
#   ROUNDING   the rounding models it claims to match bit for bit (the
#              names in the MATMUL_ROUNDING_MODELS property below); the
#              tests then hold it to them. Such a kernel, like a SCALAR one,
#              is built with floating-point contraction off, so that the
#              compiler fuses no multiply and add the source keeps apart
#              (GCC fuses them by default wherever the target has FMA).
#   ROLE       what the bench uses the kernel for: null (its figures are
#              the harness's own cost per call, taken out of every other
#              kernel's), calibration (a chain of ADDS dependent one-cycle
#              adds, from which the bench learns how long a core cycle is)
#              or baseline (the kernel the others are compared with unless
#              the bench is told another), one kernel each; or peer, as many
#              as there are: another library's product, wrapped to be timed
#              beside the project's own kernels.
#   ADDS       the calibration kernel's number of adds.
#   ISA        further flags this library alone is built with, after its
#              features' (say, for instructions the feature table has no
#              name for); everything else stays at the baseline.
#
# A kernel library built with no build type (a project that names none, as
# one using the installed package may) is optimised all the same, with the
# optimisation the shipped kernels get: unoptimised timings mislead. The flag
# goes on the kernel's own target; the project's build type is left alone.
#
# This file serves the source tree and, installed, projects of their own,
# whatever compiler those use: each flag below beyond the contract's is
# asked of the project's compilers first and given only to those that take
# it, and warnings are this project's business (matmul::warnings exists in
# the source tree alone).
include_guard(GLOBAL)
include(CheckCompilerFlag)
include(CheckLinkerFlag)

set_property(GLOBAL PROPERTY MATMUL_ROUNDING_MODELS outerprod innerprod float-mul-add float-fma float-pairwise
  float-fma-pairwise correctly-rounded)

# The feature table: common/features.def in the source tree, installed
# beside this file. Whoever includes this file names it in
# MATMUL_FEATURE_TABLE. Each row's name and bit are read here, the rest is
# the feature gate's; a row not in the table's one-line form is an error
# rather than a feature silently missing.
if(NOT MATMUL_FEATURE_TABLE OR NOT EXISTS "${MATMUL_FEATURE_TABLE}")
  message(FATAL_ERROR "KernelLibrary.cmake: MATMUL_FEATURE_TABLE must name the feature table, "
    "not '${MATMUL_FEATURE_TABLE}'")
endif()
file(STRINGS "${MATMUL_FEATURE_TABLE}" matmul_feature_rows REGEX "^MATMUL_FEATURE")
foreach(row IN LISTS matmul_feature_rows)
  if(NOT row MATCHES "^MATMUL_FEATURE\\(([A-Za-z0-9_]+), ([0-9]|[12][0-9]|3[01]), \"[^\"]+\", \"[^\"]+\", [A-Za-z0-9]+, [0-9]+, [A-Za-z0-9]+\\)$")
    message(FATAL_ERROR "${MATMUL_FEATURE_TABLE}: not a row of the feature table: ${row}")
  endif()
  set_property(GLOBAL APPEND PROPERTY MATMUL_FEATURES ${CMAKE_MATCH_1})
  set_property(GLOBAL PROPERTY MATMUL_FEATURE_BIT_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
get_property(matmul_feature_names GLOBAL PROPERTY MATMUL_FEATURES)
if(NOT matmul_feature_names)
  message(FATAL_ERROR "${MATMUL_FEATURE_TABLE}: no features in the feature table")
endif()
unset(matmul_feature_rows)

# The compiler flag that lets a library use each feature's instructions, as
# GCC and clang spell it, by the feature table's names; a feature not here
# (APIC, CMOV, HTT, TSC) needs none. Each flag is asked of the project's
# compilers before a library gets it (see matmul_feature_flags), so a
# compiler that has no such flag builds the library without it.
set(matmul_feature_flags
  MMX=-mmmx SSE=-msse SSE2=-msse2 SSE3=-msse3 3DNOW=-m3dnow 3DNOWEXT=-m3dnowa SSSE3=-mssse3
  SSE4_1=-msse4.1 SSE4_2=-msse4.2 AVX=-mavx FMA=-mfma AVX2=-mavx2 AVX512F=-mavx512f)
foreach(pair IN LISTS matmul_feature_flags)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 feature)
  list(GET pair 1 flag)
  if(NOT feature IN_LIST matmul_feature_names)
    message(FATAL_ERROR "KernelLibrary.cmake: a flag for '${feature}', which the feature table "
      "(${MATMUL_FEATURE_TABLE}) does not have")
  endif()
  set_property(GLOBAL PROPERTY MATMUL_FEATURE_FLAG_${feature} ${flag})
endforeach()
unset(matmul_feature_flags)
unset(matmul_feature_names)
unset(pair)
unset(feature)
unset(flag)

# matmul_feature_mask(<out var> <feature>...)
# The mask that asks for these features, as a decimal number.
function(matmul_feature_mask out)
  get_property(known GLOBAL PROPERTY MATMUL_FEATURES)
  set(mask 0)
  foreach(feature IN LISTS ARGN)
    if(NOT feature IN_LIST known)
      list(JOIN known " " known)
      message(FATAL_ERROR "unknown processor feature '${feature}': the feature table has ${known}")
    endif()
    get_property(bit GLOBAL PROPERTY MATMUL_FEATURE_BIT_${feature})
    math(EXPR mask "${mask} | (1 << ${bit})")
  endforeach()
  set(${out} ${mask} PARENT_SCOPE)
endfunction()

# matmul_mask_features(<out var> <mask>)
# The features of the feature table whose bits the mask has.
function(matmul_mask_features out mask)
  get_property(known GLOBAL PROPERTY MATMUL_FEATURES)
  set(features)
  foreach(feature IN LISTS known)
    get_property(bit GLOBAL PROPERTY MATMUL_FEATURE_BIT_${feature})
    math(EXPR has "(${mask} >> ${bit}) & 1")
    if(has)
      list(APPEND features ${feature})
    endif()
  endforeach()
  set(${out} ${features} PARENT_SCOPE)
endfunction()

# matmul_feature_flags(<out var> <feature>...)
# The compiler flags of these features (MATMUL_FEATURE_FLAG_<feature>),
# each one asked of the project's compilers on its own, so that a flag a
# compiler lacks costs the library that flag alone.
function(matmul_feature_flags out)
  set(result)
  foreach(feature IN LISTS ARGN)
    get_property(flag GLOBAL PROPERTY MATMUL_FEATURE_FLAG_${feature})
    if(flag)
      matmul_supported_flags(supported ${flag})
      list(APPEND result ${supported})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# matmul_supported_flags(<out var> <flag>...)
# For each language the project enabled, C and C++, the flags wrapped to
# apply to that language's sources, when its compiler takes all of them
# together; nothing for a compiler that does not. Each answer is cached.
function(matmul_supported_flags out)
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  string(MAKE_C_IDENTIFIER "${ARGN}" id)
  list(JOIN ARGN " " flags)
  set(result)
  foreach(lang IN ITEMS C CXX)
    if(lang IN_LIST languages)
      check_compiler_flag(${lang} "${flags}" MATMUL_${lang}_TAKES${id})
      if(MATMUL_${lang}_TAKES${id})
        foreach(flag IN LISTS ARGN)
          list(APPEND result "$<$<COMPILE_LANGUAGE:${lang}>:${flag}>")
        endforeach()
      endif()
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# matmul_no_vectorize_flags(<out var>)
# What keeps each compiler from vectorising: clang's pair first (clang
# takes GCC's spelling too, but it leaves the SLP vectoriser on), then GCC's.
function(matmul_no_vectorize_flags out)
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  set(result)
  foreach(lang IN ITEMS C CXX)
    if(lang IN_LIST languages)
      check_compiler_flag(${lang} "-fno-vectorize -fno-slp-vectorize" MATMUL_${lang}_TAKES_fno_vectorize)
      if(MATMUL_${lang}_TAKES_fno_vectorize)
        list(APPEND result "$<$<COMPILE_LANGUAGE:${lang}>:-fno-vectorize>"
          "$<$<COMPILE_LANGUAGE:${lang}>:-fno-slp-vectorize>")
      else()
        check_compiler_flag(${lang} "-fno-tree-vectorize" MATMUL_${lang}_TAKES_fno_tree_vectorize)
        if(MATMUL_${lang}_TAKES_fno_tree_vectorize)
          list(APPEND result "$<$<COMPILE_LANGUAGE:${lang}>:-fno-tree-vectorize>")
        endif()
      endif()
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# matmul_build_kernel_library(<name> [SCALAR] [ISA <flag>...] SOURCES <source>...)
# Only the build: for libraries the tests load that are not kernels of the
# list (the probe, the README's C example).
function(matmul_build_kernel_library name)
  cmake_parse_arguments(ARG "SCALAR" "" "ISA;SOURCES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${ARG_ISA})
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Export __stdcall kernels by their plain names (Mat_Mult, not
    # Mat_Mult@12), where the linker is one that can (GNU ld's option).
    get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
    set(lang CXX)
    if("C" IN_LIST languages)
      set(lang C)
    endif()
    check_linker_flag(${lang} "-Wl,--kill-at" MATMUL_${lang}_LINKER_TAKES_kill_at)
    if(MATMUL_${lang}_LINKER_TAKES_kill_at)
      target_link_options(${name} PRIVATE -Wl,--kill-at)
    else()
      message(WARNING "matmul_build_kernel_library(${name}): this linker cannot export __stdcall "
        "kernels by their plain names; export them with a module-definition file")
    endif()
  endif()
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(NOT multi_config AND NOT CMAKE_BUILD_TYPE)
    matmul_supported_flags(optimise -O2)
    target_compile_options(${name} PRIVATE ${optimise})
  endif()
  if(ARG_SCALAR)
    # Asked of each source's own compiler, so that a C-only or a C++-only
    # project gets the flags its compiler knows.
    matmul_supported_flags(no_contract -ffp-contract=off)
    matmul_no_vectorize_flags(no_vectorize)
    target_compile_options(${name} PRIVATE ${no_contract} ${no_vectorize})
  endif()
  set(bin_dir ${MATMUL_BIN_DIR})
  if(NOT bin_dir)
    set(bin_dir ${CMAKE_BINARY_DIR}/bin)
  endif()
  target_link_libraries(${name} PRIVATE matmul::kernel_contract)
  if(TARGET matmul::warnings)
    # This project's warnings; a project using the installed package keeps its own.
    target_link_libraries(${name} PRIVATE matmul::warnings)
  endif()
  # Hidden by default whatever the project sets: KERNEL_DEFINE alone exports.
  # CMake gives each compiler its own visibility flag, and none to one
  # without.
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${bin_dir}
    RUNTIME_OUTPUT_DIRECTORY ${bin_dir})
endfunction()

function(matmul_add_kernel name)
  cmake_parse_arguments(ARG "SCALAR" "PROCEDURE;MASK;PRODUCT;ROLE;ADDS" "ISA;SOURCES;ROUNDING;FEATURES" ${ARGN})
  if(NOT ARG_PROCEDURE OR NOT ARG_SOURCES)
    message(FATAL_ERROR "matmul_add_kernel(${name}): PROCEDURE and SOURCES are required")
  endif()
  if(DEFINED ARG_MASK AND DEFINED ARG_FEATURES)
    message(FATAL_ERROR "matmul_add_kernel(${name}): give FEATURES or MASK, not both")
  endif()
  if(DEFINED ARG_MASK)
    if(NOT ARG_MASK MATCHES "^[0-9]+$")
      message(FATAL_ERROR "matmul_add_kernel(${name}): MASK must be a decimal number, not '${ARG_MASK}'")
    endif()
    matmul_mask_features(ARG_FEATURES ${ARG_MASK})
  else()
    matmul_feature_mask(ARG_MASK ${ARG_FEATURES})
  endif()
  matmul_feature_flags(feature_flags ${ARG_FEATURES})
  if(NOT DEFINED ARG_PRODUCT)
    set(ARG_PRODUCT "a*b")
  endif()
  if(NOT ARG_PRODUCT MATCHES "^(a\\*b|b\\*a|none)$")
    message(FATAL_ERROR "matmul_add_kernel(${name}): PRODUCT must be a*b, b*a or none")
  endif()
  get_property(models GLOBAL PROPERTY MATMUL_ROUNDING_MODELS)
  foreach(model IN LISTS ARG_ROUNDING)
    if(NOT model IN_LIST models)
      message(FATAL_ERROR "matmul_add_kernel(${name}): unknown rounding model '${model}'")
    endif()
  endforeach()
  set(role "-")
  if(DEFINED ARG_ROLE)
    if(NOT ARG_ROLE MATCHES "^(null|calibration|baseline|peer)$")
      message(FATAL_ERROR "matmul_add_kernel(${name}): ROLE must be null, calibration, baseline or peer")
    endif()
    if(NOT ARG_ROLE STREQUAL "peer")
      get_property(taken GLOBAL PROPERTY MATMUL_ROLE_${ARG_ROLE})
      if(taken)
        message(FATAL_ERROR "matmul_add_kernel(${name}): ${taken} already has the role ${ARG_ROLE}")
      endif()
      set_property(GLOBAL PROPERTY MATMUL_ROLE_${ARG_ROLE} ${name})
    endif()
    set(role ${ARG_ROLE})
  endif()
  if(role STREQUAL "calibration")
    if(NOT ARG_ADDS MATCHES "^[1-9][0-9]*$")
      message(FATAL_ERROR "matmul_add_kernel(${name}): a calibration kernel needs ADDS <count of adds>")
    endif()
    set(role "calibration:${ARG_ADDS}")
  elseif(DEFINED ARG_ADDS)
    message(FATAL_ERROR "matmul_add_kernel(${name}): ADDS belongs to the calibration kernel")
  endif()
  set(scalar)
  if(ARG_SCALAR)
    set(scalar SCALAR)
  endif()
  matmul_build_kernel_library(${name} ${scalar} ISA ${feature_flags} ${ARG_ISA} SOURCES ${ARG_SOURCES})
  if(ARG_ROUNDING)
    matmul_supported_flags(no_contract -ffp-contract=off)
    target_compile_options(${name} PRIVATE ${no_contract})
  endif()
  list(JOIN ARG_ROUNDING "," rounding)
  set_target_properties(${name} PROPERTIES
    MATMUL_PROCEDURE ${ARG_PROCEDURE}
    MATMUL_MASK ${ARG_MASK}
    MATMUL_PRODUCT ${ARG_PRODUCT}
    MATMUL_ROUNDING "${rounding}"
    MATMUL_ROLE "${role}")
  set_property(GLOBAL APPEND PROPERTY MATMUL_KERNELS ${name})
endfunction()

# matmul_write_kernel_list(<file> [<kernel>...])
# Writes the registered kernels (or the kernels named, which carry the
# same properties), one a line, tab-separated:
#   <library file> <procedure> <mask> <product> <rounding models, comma-separated, or ->
#   <role: null, calibration:<adds>, baseline, peer, or ->
# The library file is its path from the list's folder: the bare file name
# where the library lies beside the list, as in the tree's bin/.
# Lines starting with '#' are comments; one names the build type.
function(matmul_write_kernel_list file)
  set(kernels ${ARGN})
  if(NOT kernels)
    get_property(kernels GLOBAL PROPERTY MATMUL_KERNELS)
  endif()
  cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  cmake_path(GET file PARENT_PATH list_dir)
  # The folder goes into a generator expression, which a ',' or '>' would end.
  string(REPLACE ">" "$<ANGLE-R>" list_dir "${list_dir}")
  string(REPLACE "," "$<COMMA>" list_dir "${list_dir}")
  set_property(GLOBAL APPEND PROPERTY MATMUL_KERNEL_LISTS_WRITTEN ${file})
  set(content "# library\tprocedure\tmask\tproduct\trounding\trole\n")
  string(APPEND content "# build type: ${CMAKE_BUILD_TYPE}\n")
  foreach(kernel IN LISTS kernels)
    get_target_property(procedure ${kernel} MATMUL_PROCEDURE)
    get_target_property(mask ${kernel} MATMUL_MASK)
    get_target_property(product ${kernel} MATMUL_PRODUCT)
    get_target_property(rounding ${kernel} MATMUL_ROUNDING)
    get_target_property(role ${kernel} MATMUL_ROLE)
    if(NOT rounding)
      set(rounding "-")
    endif()
    string(APPEND content "$<PATH:RELATIVE_PATH,$<TARGET_FILE:${kernel}>,${list_dir}>\t${procedure}\t${mask}\t${product}\t${rounding}\t${role}\n")
  endforeach()
  file(GENERATE OUTPUT ${file} CONTENT "${content}")
endfunction()

# matmul_write_project_kernel_list(<file>)
# The list of every registered kernel, written to <file> unless the project
# has written that file itself with matmul_write_kernel_list or registered
# no kernel. The installed package calls it at the end of a project's
# configuration, when every kernel is registered.
function(matmul_write_project_kernel_list file)
  get_property(kernels GLOBAL PROPERTY MATMUL_KERNELS)
  get_property(written GLOBAL PROPERTY MATMUL_KERNEL_LISTS_WRITTEN)
  cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  if(kernels AND NOT file IN_LIST written)
    matmul_write_kernel_list(${file})
  endif()
endfunction()
