# The Windows DLLs: windows/ is a CMake project of its own, configured and
# built as an external project once per architecture, with the mingw-w64
# toolchain files of this folder, into
#   build/windows/      i686:   mscapi.dll (mscapi.def's decorated names) and conformance.exe
#   build/windows-x64/  x86_64: mscapi.dll (undecorated names) and conformance.exe
# Each is rebuilt with the main build (the sub-build is always run; it is up
# to date in a second) and comes with two tests here: its export table, and
# the conformance suite under Wine. An architecture whose cross compiler is
# not installed is skipped with a note.
include(ExternalProject)

set(MSCAPI_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH
    "GoogleTest's sources, built with the cross compiler for the Windows conformance suite")

# mscapi_windows_dll(ARCH OUT_DIR EXPORT_TEST name WINE_TEST name
#                    [WINE program] [WINEARCH arch])
#   WINE     the Wine loader that runs the suite; WINEARCH its prefix's kind
function(mscapi_windows_dll arch out)
  cmake_parse_arguments(W "" "EXPORT_TEST;WINE_TEST;WINE;WINEARCH" "" ${ARGN})
  string(TOUPPER ${arch} var)
  find_program(MSCAPI_MINGW_${var}_CXX NAMES ${arch}-w64-mingw32-g++-posix ${arch}-w64-mingw32-g++)
  find_program(MSCAPI_MINGW_${var}_OBJDUMP NAMES ${arch}-w64-mingw32-objdump)
  set(objdump ${MSCAPI_MINGW_${var}_OBJDUMP})
  if(NOT MSCAPI_MINGW_${var}_CXX OR NOT objdump)
    message(STATUS "mingw-w64 (${arch}) not found: ${out}/mscapi.dll is not built")
    return()
  endif()

  set(args
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-${arch}.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
    -DBUILD_TESTING=${BUILD_TESTING}
    -DMSCAPI_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DMSCAPI_JNI_INCLUDE_DIR=${JAVA_INCLUDE_PATH}
    -DMSCAPI_GTEST_SOURCE_DIR=${MSCAPI_GTEST_SOURCE_DIR})
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    list(APPEND args -DCMAKE_CXX_COMPILER_LAUNCHER:STRING=${CMAKE_CXX_COMPILER_LAUNCHER})
  endif()
  set(dll ${out}/mscapi.dll)
  set(exe ${out}/conformance.exe)
  ExternalProject_Add(mscapi_dll_${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/windows
    BINARY_DIR ${out}
    PREFIX ${PROJECT_BINARY_DIR}/external/mscapi_dll_${arch}
    CMAKE_ARGS ${args}
    # The sub-build runs cmake again itself when its files change.
    CONFIGURE_HANDLED_BY_BUILD ON
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${dll} ${exe}
    INSTALL_COMMAND ""
    DEPENDS mscapi_jni_header_check)

  if(NOT BUILD_TESTING)
    return()
  endif()
  if(arch STREQUAL i686)
    set(def ${PROJECT_SOURCE_DIR}/windows/mscapi.def)
  else()
    set(def)
  endif()
  add_test(NAME ${W_EXPORT_TEST}
    COMMAND ${PROJECT_SOURCE_DIR}/windows/check_dll_exports.sh ${objdump} ${dll} ${arch} ${def})
  set_tests_properties(${W_EXPORT_TEST} PROPERTIES
    PASS_REGULAR_EXPRESSION "exactly the catalogue")

  # ---- The conformance suite, run under Wine ------------------------------
  if(NOT EXISTS ${MSCAPI_GTEST_SOURCE_DIR}/src/gtest-all.cc)
    message(STATUS "googletest sources not found: the ${arch} conformance suite is not built")
    return()
  endif()
  if(NOT W_WINE)
    message(STATUS "Wine (${arch}) not found: the conformance suite does not run against ${dll}")
    return()
  endif()
  # The Windows run replays what the emulation recorded (fixture crosscheck).
  add_test(NAME ${W_WINE_TEST}
    COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/run-conformance.sh ${W_WINE} ${exe} ${dll}
            ${PROJECT_BINARY_DIR}/crosscheck.txt)
  # A kernel that cannot execute the loader (no i386 support for `wine`)
  # skips the run with that reason (run-conformance.sh exits 77).
  set_tests_properties(${W_WINE_TEST} PROPERTIES TIMEOUT 600 FIXTURES_REQUIRED crosscheck
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]" FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]"
    SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION "SKIP: this kernel cannot execute")
  if(W_WINEARCH)
    set_tests_properties(${W_WINE_TEST} PROPERTIES ENVIRONMENT "WINEARCH=${W_WINEARCH}")
  endif()
endfunction()

# 32-bit: Wine's default prefix for the loader `wine` (its 32-bit half comes
# from the i386 architecture).
find_program(MSCAPI_WINE NAMES wine)
mscapi_windows_dll(i686 ${PROJECT_BINARY_DIR}/windows
  EXPORT_TEST windows.dll_exports_match_catalogue WINE_TEST wine.conformance WINE "${MSCAPI_WINE}")

# 64-bit: Debian keeps the 64-bit loader out of PATH (package wine64); its
# prefix must be a 64-bit one.
find_program(MSCAPI_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(MSCAPI_WINE64 NAMES wine64)
mscapi_windows_dll(x86_64 ${PROJECT_BINARY_DIR}/windows-x64
  EXPORT_TEST windows-x64.dll_exports_match_catalogue WINE_TEST wine64.conformance WINE "${MSCAPI_WINE64}"
  WINEARCH win64)
