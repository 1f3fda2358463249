# 32-bit Windows (i686) with mingw-w64: cmake -DCMAKE_TOOLCHAIN_FILE=<this file>
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MSCAPI_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
