# Cross-builds the 64-bit Windows program on Debian with MinGW-w64. The posix thread model
# (the -posix compilers) is the one whose C++ library has std::mutex and std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUARN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARN_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUARN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs and tests run under Wine on the build machine (CTest, test discovery).
find_program(QUARN_WINE wine)
if(QUARN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARN_WINE})
endif()
