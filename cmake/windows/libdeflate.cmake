# libdeflate for Windows: Debian has no MinGW package of it either, so it is built, as a static
# library (MIT licence), from the upstream tarball of Debian's source package (apt-get source
# --download-only libdeflate, which scripts/build-windows runs), checked against the SHA-256
# below. It needs no change. Nothing of its source is kept in this repository.

set(QUARN_LIBDEFLATE_TARBALL "" CACHE FILEPATH "Debian's libdeflate_1.14.orig.tar.gz")
set(QUARN_LIBDEFLATE_SHA256 89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac)

if(NOT QUARN_LIBDEFLATE_TARBALL OR NOT EXISTS "${QUARN_LIBDEFLATE_TARBALL}")
  message(FATAL_ERROR "QUARN_LIBDEFLATE_TARBALL must name libdeflate_1.14.orig.tar.gz "
                      "(apt-get source --download-only libdeflate; scripts/build-windows does it)")
endif()
file(SHA256 "${QUARN_LIBDEFLATE_TARBALL}" quarn_libdeflate_sum)
if(NOT quarn_libdeflate_sum STREQUAL QUARN_LIBDEFLATE_SHA256)
  message(FATAL_ERROR "${QUARN_LIBDEFLATE_TARBALL} has SHA-256 ${quarn_libdeflate_sum}, "
                      "not the ${QUARN_LIBDEFLATE_SHA256} of Debian's libdeflate_1.14.orig.tar.gz")
endif()

set(QUARN_LIBDEFLATE_DIR ${CMAKE_BINARY_DIR}/libdeflate)
set(QUARN_LIBDEFLATE_SRC ${QUARN_LIBDEFLATE_DIR}/libdeflate-1.14)
if(NOT EXISTS ${QUARN_LIBDEFLATE_SRC}/libdeflate.h)
  file(REMOVE_RECURSE ${QUARN_LIBDEFLATE_DIR})
  file(ARCHIVE_EXTRACT INPUT "${QUARN_LIBDEFLATE_TARBALL}" DESTINATION ${QUARN_LIBDEFLATE_DIR})
endif()

# The sources its own Makefile builds into the library.
set(quarn_libdeflate_sources adler32.c crc32.c deflate_compress.c deflate_decompress.c gzip_compress.c
    gzip_decompress.c utils.c zlib_compress.c zlib_decompress.c arm/cpu_features.c x86/cpu_features.c)
list(TRANSFORM quarn_libdeflate_sources PREPEND ${QUARN_LIBDEFLATE_SRC}/lib/)
add_library(quarn_libdeflate STATIC ${quarn_libdeflate_sources})
target_compile_options(quarn_libdeflate PRIVATE -w)
target_include_directories(quarn_libdeflate SYSTEM PUBLIC ${QUARN_LIBDEFLATE_SRC})
add_library(PkgConfig::LIBDEFLATE INTERFACE IMPORTED)
set_target_properties(PkgConfig::LIBDEFLATE PROPERTIES INTERFACE_LINK_LIBRARIES quarn_libdeflate)
