# 64-bit Windows (x86_64) with mingw-w64: cmake -DCMAKE_TOOLCHAIN_FILE=<this file>
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MSCAPI_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
