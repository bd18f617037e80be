# Which wine loader runs a Windows build's programs on this host, and, where
# none can, why not. Decided here alone: the toolchain files include this
# module, and scripts/windows.sh runs it as a script before it starts wine.
#
# Debian's `wine` command always starts wine's 32-bit loader, which a host
# built without 32-bit program support cannot execute ("Exec format error").
# So 64-bit programs go straight to the 64-bit loader, and whether 32-bit
# ones can run is found by running the 32-bit loader itself, with --version:
# nothing is guessed from the host's name or architecture.
#
# MATMUL_WINE_NO_32BIT=1 in the environment answers "cannot" for 32-bit
# programs without asking, so that path can be exercised on any host.
#
# As a script:
#   cmake -DMATMUL_WINE_BITS=32|64 -P cmake/wine.cmake
# prints "loader=<path>" where the programs can run, or "cannot=<reason>"
# and, after it, "detail=<lines>" with what the loader itself printed.
include_guard(GLOBAL)

# matmul_wine_loader(<bits> <loader-variable> <reason-variable> <detail-variable>)
# Sets <loader-variable> to the loader that runs <bits>-bit programs here,
# or empty with <reason-variable> saying why none does and
# <detail-variable> holding the first lines the loader printed.
function(matmul_wine_loader bits loader_var reason_var detail_var)
  set(loader "")
  set(reason "")
  set(detail "")
  # Debian keeps the loaders out of PATH, under /usr/lib/wine; elsewhere the
  # loader is the `wine` (or `wine64`) command itself.
  if(bits EQUAL 64)
    find_program(candidate NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
    if(NOT candidate)
      find_program(candidate NAMES wine64 wine NO_CACHE)
    endif()
  else()
    find_program(candidate NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
    if(NOT candidate)
      find_program(candidate NAMES wine NO_CACHE)
    endif()
  endif()
  if(bits EQUAL 32 AND "$ENV{MATMUL_WINE_NO_32BIT}" STREQUAL "1")
    set(reason "this host cannot run 32-bit programs")
    set(detail "MATMUL_WINE_NO_32BIT=1 in the environment says so")
  elseif(NOT candidate)
    set(reason "no wine loader for ${bits}-bit programs is installed")
  else()
    # Through the shell: started directly, a file the kernel cannot execute
    # is handed to the shell as a script, which then reports nonsense.
    execute_process(COMMAND sh -c "exec \"$1\" --version" sh ${candidate}
      RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out
      TIMEOUT 60)
    if(status EQUAL 0)
      set(loader ${candidate})
    else()
      if(bits EQUAL 32)
        set(reason "this host cannot run 32-bit programs")
      else()
        set(reason "this host cannot run wine's ${bits}-bit loader")
      endif()
      string(STRIP "${out}" out)
      string(REGEX MATCHALL "[^\n]+" lines "${out}")
      list(SUBLIST lines 0 5 lines)
      list(JOIN lines "\n" detail)
      set(detail "${candidate} --version: ${detail} (${status})")
    endif()
  endif()
  set(${loader_var} "${loader}" PARENT_SCOPE)
  set(${reason_var} "${reason}" PARENT_SCOPE)
  set(${detail_var} "${detail}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT MATMUL_WINE_BITS MATCHES "^(32|64)$")
    message(FATAL_ERROR "give -DMATMUL_WINE_BITS=32 or 64")
  endif()
  matmul_wine_loader(${MATMUL_WINE_BITS} loader reason detail)
  if(loader)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "loader=${loader}")
  else()
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "cannot=${reason}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "detail=${detail}")
  endif()
endif()
