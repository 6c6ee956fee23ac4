# Run at every build (cmake -P): writes OUTPUT from TEMPLATE with the commit of SOURCE_DIR and
# whether its working tree has uncommitted changes. configure_file leaves OUTPUT untouched when
# nothing changed, so the build recompiles it only after a commit or a change of the tree's state.
# Outside a git checkout, or without git, the commit reads as 40 zeros.
set(QUARN_GIT_SHA "0000000000000000000000000000000000000000")
set(QUARN_GIT_DIRTY "false")
if(GIT_EXECUTABLE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse HEAD
                  RESULT_VARIABLE rc OUTPUT_VARIABLE sha ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND sha MATCHES "^[0-9a-f]+$")
    string(LENGTH "${sha}" sha_length)
    if(sha_length EQUAL 40)
      set(QUARN_GIT_SHA "${sha}")
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                      RESULT_VARIABLE rc OUTPUT_VARIABLE changes ERROR_QUIET)
      if(rc EQUAL 0 AND NOT changes STREQUAL "")
        set(QUARN_GIT_DIRTY "true")
      endif()
    endif()
  endif()
endif()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
