# Checks cmake/git_sha.cmake: outside a git checkout the commit reads as 40 zeros and the tree
# as clean; in this checkout it names HEAD. Run with -DSOURCE=<repo> -DWORK=<scratch folder>.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/not_git")
find_package(Git QUIET)

# The scratch folder may lie inside a checkout (the build folder usually does): keep git from
# looking above it.
set(ENV{GIT_CEILING_DIRECTORIES} "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" -DGIT_EXECUTABLE=${GIT_EXECUTABLE} -DSOURCE_DIR=${WORK}/not_git
                        -DTEMPLATE=${SOURCE}/src/app/build_info.cpp.in -DOUTPUT=${WORK}/outside.cpp
                        -P ${SOURCE}/cmake/git_sha.cmake RESULT_VARIABLE rc)
file(READ "${WORK}/outside.cpp" outside)
if(NOT rc EQUAL 0 OR NOT outside MATCHES "kBuildGitSha\\[\\] = \"0000000000000000000000000000000000000000\";"
   OR NOT outside MATCHES "kBuildDirty = false;")
  message(FATAL_ERROR "outside git: ${outside}")
endif()

if(GIT_EXECUTABLE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE}" rev-parse HEAD
                  RESULT_VARIABLE rc OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0)
    unset(ENV{GIT_CEILING_DIRECTORIES})
    execute_process(COMMAND "${CMAKE_COMMAND}" -DGIT_EXECUTABLE=${GIT_EXECUTABLE} -DSOURCE_DIR=${SOURCE}
                            -DTEMPLATE=${SOURCE}/src/app/build_info.cpp.in -DOUTPUT=${WORK}/inside.cpp
                            -P ${SOURCE}/cmake/git_sha.cmake)
    file(READ "${WORK}/inside.cpp" inside)
    if(NOT inside MATCHES "kBuildGitSha\\[\\] = \"${head}\";")
      message(FATAL_ERROR "inside git, expected ${head}: ${inside}")
    endif()
  endif()
endif()
file(REMOVE_RECURSE "${WORK}")
