# What a Windows user gets: quarn-<version>-win64.zip (cpack -G ZIP in the build folder), which
# unpacks into one folder holding everything a machine with nothing installed needs:
#   quarn.exe, libargtable2-0.dll     the program and the one library it loads beside Windows'
#   README.txt                        starting it from cmd.exe and PowerShell, PATH, Task Scheduler
#   quarn.txt                         the manual page, written for Windows (packaging/windows/)
#   LICENSE.txt                       quarn's licence
#   THIRD-PARTY.txt, licenses/        what else the package contains, under which licence, and the texts
# Its text files end their lines in CR LF (cmake/windows/crlf.cmake). The developer's README, with
# Debian packaging and benchmarks, stays in the source.

# cpack installs only what the package holds: the tests need not be built for it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# wmain is the entry point (main_windows.cpp). The program claims Windows 7, the oldest Windows
# it is built for (_WIN32_WINNT in platform_windows.cpp), in its header too.
target_link_options(quarn PRIVATE -municode -Wl,--major-subsystem-version,6,--minor-subsystem-version,1
                    -Wl,--major-os-version,6,--minor-os-version,1)

# The zip's layout, whatever an earlier configuration of the tree put in the cache.
set(CMAKE_INSTALL_BINDIR . CACHE PATH "" FORCE)
install(TARGETS argtable2 RUNTIME DESTINATION .)

# quarn_zip_text(SOURCE NAME DESTINATION): the text file SOURCE in the zip as DESTINATION/NAME,
# with CR LF line ends (made when the tree is configured, again whenever SOURCE changes).
set(QUARN_ZIP_TEXT ${CMAKE_BINARY_DIR}/zip-text)
function(quarn_zip_text source name destination)
  set(crlf ${QUARN_ZIP_TEXT}/${destination}/${name})
  execute_process(COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${crlf} -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/crlf.cmake
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not write ${crlf} from ${source}")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  install(FILES ${crlf} DESTINATION ${destination})
endfunction()

configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt ${CMAKE_BINARY_DIR}/README-lf.txt @ONLY)
quarn_zip_text(${CMAKE_BINARY_DIR}/README-lf.txt README.txt .)
quarn_zip_text(${CMAKE_CURRENT_LIST_DIR}/THIRD-PARTY.txt THIRD-PARTY.txt .)
quarn_zip_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt .)

# The manual page as plain text, for a system without man: man/quarn.1 with what differs on
# Windows (packaging/windows/quarn-windows.man), in ASCII, which every Notepad shows alike.
find_program(QUARN_GROFF groff REQUIRED)
find_program(QUARN_AWK awk REQUIRED)
set(QUARN_MANUAL_SOURCE ${CMAKE_BINARY_DIR}/quarn-windows.1)
set(QUARN_MANUAL_TEXT ${QUARN_ZIP_TEXT}/quarn.txt)
add_custom_command(OUTPUT ${QUARN_MANUAL_TEXT}
  COMMAND ${QUARN_AWK} -f ${PROJECT_SOURCE_DIR}/packaging/windows/manual.awk
          ${PROJECT_SOURCE_DIR}/packaging/windows/quarn-windows.man ${PROJECT_SOURCE_DIR}/man/quarn.1
          > ${QUARN_MANUAL_SOURCE}
  COMMAND ${QUARN_GROFF} -man -Tascii -P-cbou ${QUARN_MANUAL_SOURCE} > ${CMAKE_BINARY_DIR}/quarn-lf.txt
  COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_BINARY_DIR}/quarn-lf.txt -DOUT=${QUARN_MANUAL_TEXT}
          -P ${CMAKE_CURRENT_LIST_DIR}/crlf.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/man/quarn.1 ${PROJECT_SOURCE_DIR}/packaging/windows/quarn-windows.man
          ${PROJECT_SOURCE_DIR}/packaging/windows/manual.awk ${CMAKE_CURRENT_LIST_DIR}/crlf.cmake
  COMMENT "Writing the Windows manual page as text"
  VERBATIM)
add_custom_target(quarn_manual_text ALL DEPENDS ${QUARN_MANUAL_TEXT})
install(FILES ${QUARN_MANUAL_TEXT} DESTINATION .)

# The licences of what the program carries: argtable2's and libdeflate's texts from their own
# tarballs, zlib's and the MinGW-w64 run-time's (linked in) from Debian's packages of them. The
# patch stays as it was written, so that it still applies to argtable2's source.
quarn_zip_text(${QUARN_ARGTABLE2_DIR}/argtable2-13/COPYING argtable2-COPYING.txt licenses)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/argtable2.patch DESTINATION licenses)
quarn_zip_text(${QUARN_LIBDEFLATE_SRC}/COPYING libdeflate-COPYING.txt licenses)
quarn_zip_text(/usr/share/doc/libz-mingw-w64-dev/copyright zlib-copyright.txt licenses)
quarn_zip_text(/usr/share/doc/mingw-w64-common/copyright mingw-w64-copyright.txt licenses)

set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME win64)
