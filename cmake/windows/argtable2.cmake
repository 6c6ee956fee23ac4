# argtable2 for Windows: Debian has no MinGW package of it, so it is built from Debian's source
# package (debian_source.cmake), patched with argtable2.patch.
#
# It is built with its own getopt_long: with MinGW's, "quarn a b c --verbosity" crashed. It is
# a DLL beside quarn.exe, as its licence (LGPL-2 or later) allows without further terms.

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
quarn_debian_source(QUARN_ARGTABLE2 argtable2 13 8f77e8a7ced5301af6e22f47302fdbc3b1ff41f2b83c43c77ae5ca041771ddbf
                    PATCH ${CMAKE_CURRENT_LIST_DIR}/argtable2.patch)
set(QUARN_ARGTABLE2_SRC ${QUARN_ARGTABLE2_ROOT}/src)

# The sources upstream's own CMake file lists for Windows (arg_date needs strptime, arg_rex
# regex.h; quarn uses neither).
add_library(argtable2 SHARED
  ${QUARN_ARGTABLE2_SRC}/arg_dbl.c ${QUARN_ARGTABLE2_SRC}/arg_end.c ${QUARN_ARGTABLE2_SRC}/arg_file.c
  ${QUARN_ARGTABLE2_SRC}/arg_int.c ${QUARN_ARGTABLE2_SRC}/arg_lit.c ${QUARN_ARGTABLE2_SRC}/arg_rem.c
  ${QUARN_ARGTABLE2_SRC}/arg_str.c ${QUARN_ARGTABLE2_SRC}/argtable2.c ${QUARN_ARGTABLE2_SRC}/getopt.c
  ${QUARN_ARGTABLE2_SRC}/getopt1.c)
# What configure finds on a C99 system; without HAVE_GETOPT_H the bundled getopt.h is used.
target_compile_definitions(argtable2 PRIVATE STDC_HEADERS=1 HAVE_STDLIB_H=1 HAVE_STRING_H=1 HAVE_STRINGS_H=1)
target_compile_options(argtable2 PRIVATE -w)
target_include_directories(argtable2 SYSTEM INTERFACE ${QUARN_ARGTABLE2_SRC})
# libargtable2-0.dll, as Debian names the library libargtable2.so.0; only the C run-time
# (msvcrt) stays outside it.
set_target_properties(argtable2 PROPERTIES OUTPUT_NAME argtable2-0 PREFIX lib C_VISIBILITY_PRESET default)
target_link_options(argtable2 PRIVATE -static-libgcc)
