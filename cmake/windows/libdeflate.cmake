# libdeflate for Windows: Debian has no MinGW package of it either, so it is built, as a static
# library (MIT licence), from Debian's source package (debian_source.cmake). It needs no change.

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
quarn_debian_source(QUARN_LIBDEFLATE libdeflate 1.14 89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac)
set(QUARN_LIBDEFLATE_SRC ${QUARN_LIBDEFLATE_ROOT})

# The sources its own Makefile builds into the library.
set(quarn_libdeflate_sources adler32.c crc32.c deflate_compress.c deflate_decompress.c gzip_compress.c
    gzip_decompress.c utils.c zlib_compress.c zlib_decompress.c arm/cpu_features.c x86/cpu_features.c)
list(TRANSFORM quarn_libdeflate_sources PREPEND ${QUARN_LIBDEFLATE_SRC}/lib/)
add_library(quarn_libdeflate STATIC ${quarn_libdeflate_sources})
target_compile_options(quarn_libdeflate PRIVATE -w)
target_include_directories(quarn_libdeflate SYSTEM PUBLIC ${QUARN_LIBDEFLATE_SRC})
add_library(PkgConfig::LIBDEFLATE INTERFACE IMPORTED)
set_target_properties(PkgConfig::LIBDEFLATE PROPERTIES INTERFACE_LINK_LIBRARIES quarn_libdeflate)
