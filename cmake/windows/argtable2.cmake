# argtable2 for Windows: Debian has no MinGW package of it, so it is built from the upstream
# tarball of Debian's source package (apt-get source --download-only argtable2, which
# scripts/build-windows runs), checked against the SHA-256 below and patched with
# argtable2.patch. Nothing of its source is kept in this repository.
#
# It is built with its own getopt_long: with MinGW's, "quarn a b c --verbosity" crashed. It is
# a DLL beside quarn.exe, as its licence (LGPL-2 or later) allows without further terms.

set(QUARN_ARGTABLE2_TARBALL "" CACHE FILEPATH "Debian's argtable2_13.orig.tar.gz")
set(QUARN_ARGTABLE2_SHA256 8f77e8a7ced5301af6e22f47302fdbc3b1ff41f2b83c43c77ae5ca041771ddbf)

if(NOT QUARN_ARGTABLE2_TARBALL OR NOT EXISTS "${QUARN_ARGTABLE2_TARBALL}")
  message(FATAL_ERROR "QUARN_ARGTABLE2_TARBALL must name argtable2_13.orig.tar.gz "
                      "(apt-get source --download-only argtable2; scripts/build-windows does it)")
endif()
file(SHA256 "${QUARN_ARGTABLE2_TARBALL}" quarn_argtable2_sum)
if(NOT quarn_argtable2_sum STREQUAL QUARN_ARGTABLE2_SHA256)
  message(FATAL_ERROR "${QUARN_ARGTABLE2_TARBALL} has SHA-256 ${quarn_argtable2_sum}, "
                      "not the ${QUARN_ARGTABLE2_SHA256} of Debian's argtable2_13.orig.tar.gz")
endif()

# Unpacked and patched once per version of the patch.
set(QUARN_ARGTABLE2_PATCH ${CMAKE_CURRENT_LIST_DIR}/argtable2.patch)
file(SHA256 ${QUARN_ARGTABLE2_PATCH} quarn_argtable2_patch_sum)
set(QUARN_ARGTABLE2_DIR ${CMAKE_BINARY_DIR}/argtable2)
set(QUARN_ARGTABLE2_SRC ${QUARN_ARGTABLE2_DIR}/argtable2-13/src)
set(quarn_argtable2_stamp ${QUARN_ARGTABLE2_DIR}/patched-${quarn_argtable2_patch_sum})
if(NOT EXISTS ${quarn_argtable2_stamp})
  file(REMOVE_RECURSE ${QUARN_ARGTABLE2_DIR})
  file(ARCHIVE_EXTRACT INPUT "${QUARN_ARGTABLE2_TARBALL}" DESTINATION ${QUARN_ARGTABLE2_DIR})
  find_program(QUARN_PATCH patch REQUIRED)
  execute_process(COMMAND ${QUARN_PATCH} -p1 --quiet -i ${QUARN_ARGTABLE2_PATCH}
                  WORKING_DIRECTORY ${QUARN_ARGTABLE2_DIR}/argtable2-13 RESULT_VARIABLE quarn_patch_result)
  if(NOT quarn_patch_result EQUAL 0)
    message(FATAL_ERROR "argtable2.patch does not apply to ${QUARN_ARGTABLE2_TARBALL}")
  endif()
  file(TOUCH ${quarn_argtable2_stamp})
endif()

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
