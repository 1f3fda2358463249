# Cross-compiling for Windows with Debian's mingw-w64 (included by
# toolchain-mingw-i686.cmake and toolchain-mingw-x86_64.cmake, which set
# MSCAPI_MINGW_TRIPLE first).
#
# The posix thread model's compilers come first: the win32 ones have no
# std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
find_program(MSCAPI_MINGW_CC NAMES ${MSCAPI_MINGW_TRIPLE}-gcc-posix ${MSCAPI_MINGW_TRIPLE}-gcc REQUIRED)
find_program(MSCAPI_MINGW_CXX NAMES ${MSCAPI_MINGW_TRIPLE}-g++-posix ${MSCAPI_MINGW_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${MSCAPI_MINGW_CC})
set(CMAKE_CXX_COMPILER ${MSCAPI_MINGW_CXX})
set(CMAKE_RC_COMPILER ${MSCAPI_MINGW_TRIPLE}-windres)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MSCAPI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
