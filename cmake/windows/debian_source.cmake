# The libraries Debian has no MinGW package of are built from the upstream tarball of Debian's
# source package (apt-get source --download-only <package>, which scripts/build-windows runs). A
# tarball is used only when its SHA-256 is the pinned one, so that what the program is built from
# never changes unnoticed. Nothing of their source is kept in this repository.

include_guard(GLOBAL)

# quarn_debian_source(<prefix> <package> <version> <sha256> [PATCH <file>])
#
# Checks the tarball that the cache variable <prefix>_TARBALL names (<package>_<version>.orig.tar.gz)
# against <sha256>, and unpacks it into <build>/<package>, patched with <file> (patch -p1) when
# one is given. Sets <prefix>_DIR to that folder and <prefix>_ROOT to <package>-<version> inside
# it, the folder the tarball holds. A tree already unpacked is kept until the patch changes.
function(quarn_debian_source prefix package version sha256)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" PATCH "")
  set(orig ${package}_${version}.orig.tar.gz)
  set(${prefix}_TARBALL "" CACHE FILEPATH "Debian's ${orig}")
  set(tarball "${${prefix}_TARBALL}")

  if(NOT tarball OR NOT EXISTS "${tarball}")
    message(FATAL_ERROR "${prefix}_TARBALL must name ${orig} "
                        "(apt-get source --download-only ${package}; scripts/build-windows does it)")
  endif()
  file(SHA256 "${tarball}" sum)
  if(NOT sum STREQUAL sha256)
    message(FATAL_ERROR "${tarball} has SHA-256 ${sum}, not the ${sha256} of Debian's ${orig}")
  endif()

  set(dir ${CMAKE_BINARY_DIR}/${package})
  set(root ${dir}/${package}-${version})
  # The stamp names the patch by its SHA-256: an edited patch unpacks afresh.
  if(arg_PATCH)
    file(SHA256 ${arg_PATCH} patch_sum)
    set(stamp ${dir}/patched-${patch_sum})
  else()
    set(stamp ${dir}/unpacked)
  endif()
  if(NOT EXISTS ${stamp})
    file(REMOVE_RECURSE ${dir})
    file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION ${dir})
    if(arg_PATCH)
      find_program(QUARN_PATCH patch REQUIRED)
      execute_process(COMMAND ${QUARN_PATCH} -p1 --quiet -i ${arg_PATCH} WORKING_DIRECTORY ${root}
                      RESULT_VARIABLE patch_result)
      if(NOT patch_result EQUAL 0)
        get_filename_component(patch_name ${arg_PATCH} NAME)
        message(FATAL_ERROR "${patch_name} does not apply to ${tarball}")
      endif()
    endif()
    file(TOUCH ${stamp})
  endif()

  set(${prefix}_DIR ${dir} PARENT_SCOPE)
  set(${prefix}_ROOT ${root} PARENT_SCOPE)
endfunction()
