# The Windows build (cmake/windows/toolchain.cmake): what Debian's MinGW-w64 packages do not
# bring is made here. argtable2 and libdeflate come from Debian's source packages
# (cmake/windows/argtable2.cmake, libdeflate.cmake), stb's sprintf from the header Debian
# installs, GoogleTest from Debian's sources of it.

# Programs, tests and the argtable2 DLL in one folder, where Windows looks for a program's DLLs.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The C++ and thread run-times go into each program, so that a machine with nothing installed
# runs it; argtable2 alone stays a DLL (its licence asks that it can be replaced).
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
# GCC 12 sees overlapping copies in libstdc++'s string concatenation once inlined at -O3 (its
# bug 105329); the Linux build keeps the warning.
add_compile_options(-Wno-restrict)
# zlib, too, is linked in (libz-mingw-w64-dev has the static library).
set(ZLIB_USE_STATIC_LIBS ON)

set(QUARN_PLATFORM_SOURCE src/base/platform_windows.cpp src/base/platform_failure.cpp src/base/platform_shared.cpp)
# wmain: the arguments as UTF-16, so that names outside the ANSI code page arrive whole.
set(QUARN_MAIN_SOURCE src/app/main_windows.cpp)

include(${CMAKE_CURRENT_LIST_DIR}/argtable2.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/libdeflate.cmake)
add_library(PkgConfig::ARGTABLE INTERFACE IMPORTED)
set_target_properties(PkgConfig::ARGTABLE PROPERTIES INTERFACE_LINK_LIBRARIES argtable2)

# stb_sprintf is a single header: one file of ours defines its implementation. The include
# folder holds only stb/, never the rest of the build machine's /usr/include.
set(QUARN_STB_HEADERS /usr/include/stb CACHE PATH "Debian's stb headers (libstb-dev)")
if(NOT EXISTS ${QUARN_STB_HEADERS}/stb_sprintf.h)
  message(FATAL_ERROR "stb_sprintf.h not found in ${QUARN_STB_HEADERS}: install libstb-dev")
endif()
set(QUARN_STB_INCLUDE ${CMAKE_BINARY_DIR}/stb-include)
file(MAKE_DIRECTORY ${QUARN_STB_INCLUDE})
file(CREATE_LINK ${QUARN_STB_HEADERS} ${QUARN_STB_INCLUDE}/stb SYMBOLIC)
add_library(quarn_stb STATIC ${CMAKE_CURRENT_LIST_DIR}/stb_sprintf.c)
target_include_directories(quarn_stb SYSTEM PUBLIC ${QUARN_STB_INCLUDE})
add_library(PkgConfig::STB INTERFACE IMPORTED)
set_target_properties(PkgConfig::STB PROPERTIES INTERFACE_LINK_LIBRARIES quarn_stb)

if(QUARN_BUILD_TESTS)
  # The tests are listed when CTest runs them (under Wine, with the prefix scripts/test-windows
  # sets up), not at build time.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  set(QUARN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "Debian's GoogleTest sources (googletest)")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QUARN_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
