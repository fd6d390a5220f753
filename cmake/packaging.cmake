# Installation and packages. Windows: everything in one directory, as the
# tool opens its help from the directory it is started in; CPack makes a ZIP
# and, with wixl, an MSI of the same files (cmake/msi_package.cmake).
# Linux: the usual file-system layout; CPack makes a .deb that passes lintian.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS velumtar velumtar-check RUNTIME DESTINATION .)
  if(VELUMTAR_CHM)
    install(FILES ${VELUMTAR_CHM} DESTINATION .)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/doc/README-windows.txt DESTINATION . RENAME README.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-scheduled.cmd
                ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-subscription.xml
                ${CMAKE_SOURCE_DIR}/doc/findings.schema.json DESTINATION .)
else()
  install(TARGETS velumtar velumtar-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${help_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/html)
  install(FILES ${VELUMTAR_MANUALS_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(VELUMTAR_CHM)
    install(FILES ${VELUMTAR_CHM} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  install(FILES
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-compare.service
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-compare.timer
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar.cron
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-rsyslog.conf
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # The package's copyright file and changelog, where Debian's policy wants
  # them. The newest changelog entry is this version's.
  set(changelog ${CMAKE_SOURCE_DIR}/packaging/debian/changelog)
  file(STRINGS ${changelog} newest LIMIT_COUNT 1)
  string(REGEX REPLACE "^velumtar \\(([^)]*)\\) .*" "\\1" newest "${newest}")
  if(NOT newest STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/debian/changelog has no entry for ${PROJECT_VERSION} on top")
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${changelog} -DOUT=${CMAKE_BINARY_DIR}/changelog.gz
            -P ${CMAKE_SOURCE_DIR}/cmake/gzip_file.cmake
    DEPENDS ${changelog} ${CMAKE_SOURCE_DIR}/cmake/gzip_file.cmake)
  add_custom_target(velumtar_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/doc/findings.schema.json DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME velumtar)
set(CPACK_PACKAGE_VENDOR "The VELUMTAR developers")
set(CPACK_PACKAGE_CONTACT "The VELUMTAR developers <developers@velumtar.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Detects change in the executable files of a drive between runs")
set(CPACK_PACKAGE_DESCRIPTION [=[
VELUMTAR watches the executable files of drive C: for change between runs.
"velumtar N" walks the drive and records the facts (last-write date and
time, size, attributes) of every file with a watched extension (DLL, EXE,
MSI, COM, OCX, JAR, BIN, SCR, SYS, VB, BAT, CMD, plus the user's own list in
VELULIST.EXT) in the database C:\VELUMTAR.DBI. "velumtar C" walks it again,
reports new, changed and deleted files in C:\VELUMTAR.TXT, records the run
in C:\VELUMTAR.LOG and offers to show the report.

On Linux drive C: is a directory: a mounted Windows drive or the drive_c of
a Wine prefix. Scheduled runs work unattended, with a transcript of every
message; velumtar-check checks the database for damage.]=])
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velumtar-${PROJECT_VERSION}-win64)
  find_program(WIXL wixl)
  if(WIXL)
    list(APPEND CPACK_GENERATOR External)
    set(CPACK_EXTERNAL_ENABLE_STAGING ON)
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/msi_package.cmake)
    set(CPACK_VELUMTAR_WIXL ${WIXL})
    set(CPACK_VELUMTAR_WXS ${CMAKE_SOURCE_DIR}/packaging/velumtar.wxs)
    set(CPACK_VELUMTAR_ICON ${CMAKE_SOURCE_DIR}/resources/velumtar.ico)
  else()
    message(WARNING "wixl not found (package wixl): the MSI is not built")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils, man-db")
endif()
include(CPack)
