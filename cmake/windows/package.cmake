# What a Windows user gets: quarn-<version>-win64.zip (cpack -G ZIP in the build folder), which
# unpacks into one folder holding everything a machine with nothing installed needs:
#   quarn.exe, libargtable2-0.dll     the program and the one library it loads beside Windows'
#   README.md, quarn.txt, man1/       the README, the manual page as text and as written
#   LICENSE.txt                       quarn's licence
#   THIRD-PARTY.txt, licenses/        what else the package contains, under which licence, and the texts

# cpack installs only what the package holds: the tests need not be built for it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# wmain is the entry point (main_windows.cpp).
target_link_options(quarn PRIVATE -municode)

# The zip's layout, whatever an earlier configuration of the tree put in the cache.
set(CMAKE_INSTALL_BINDIR . CACHE PATH "" FORCE)
set(CMAKE_INSTALL_MANDIR . CACHE PATH "" FORCE)
# (Where the Debian package keeps quarn's licence as "copyright"; the zip has it as LICENSE.txt.)
set(CMAKE_INSTALL_DOCDIR licenses/quarn CACHE PATH "" FORCE)
install(TARGETS argtable2 RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/THIRD-PARTY.txt DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

# The manual page as plain text, for a system without man.
find_program(QUARN_GROFF groff REQUIRED)
set(QUARN_MANUAL_TEXT ${CMAKE_BINARY_DIR}/quarn.txt)
add_custom_command(OUTPUT ${QUARN_MANUAL_TEXT}
  COMMAND ${QUARN_GROFF} -man -Tutf8 -P-cbou ${PROJECT_SOURCE_DIR}/man/quarn.1 > ${QUARN_MANUAL_TEXT}
  DEPENDS ${PROJECT_SOURCE_DIR}/man/quarn.1
  COMMENT "Writing the manual page as text"
  VERBATIM)
add_custom_target(quarn_manual_text ALL DEPENDS ${QUARN_MANUAL_TEXT})
install(FILES ${QUARN_MANUAL_TEXT} DESTINATION .)

# The licences of what the program carries: argtable2's and libdeflate's texts from their own
# tarballs, zlib's and the MinGW-w64 run-time's (linked in) from Debian's packages of them.
install(FILES ${QUARN_ARGTABLE2_DIR}/argtable2-13/COPYING DESTINATION licenses RENAME argtable2-COPYING.txt)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/argtable2.patch DESTINATION licenses)
install(FILES ${QUARN_LIBDEFLATE_SRC}/COPYING DESTINATION licenses RENAME libdeflate-COPYING.txt)
install(FILES /usr/share/doc/libz-mingw-w64-dev/copyright DESTINATION licenses RENAME zlib-copyright.txt)
install(FILES /usr/share/doc/mingw-w64-common/copyright DESTINATION licenses RENAME mingw-w64-copyright.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME win64)
