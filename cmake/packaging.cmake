# Installation and packages. Windows: everything in one directory, as the
# tool opens its help from the directory it is started in; CPack makes a ZIP.
# Linux: the usual file-system layout; CPack makes a .deb.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS velumtar velumtar-check RUNTIME DESTINATION .)
  if(VELUMTAR_CHM)
    install(FILES ${VELUMTAR_CHM} DESTINATION .)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/doc/README-windows.txt DESTINATION . RENAME README.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-scheduled.cmd DESTINATION .)
else()
  install(TARGETS velumtar velumtar-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${help_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/html)
  install(FILES ${VELUMTAR_MANUAL_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(VELUMTAR_CHM)
    install(FILES ${VELUMTAR_CHM} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  install(FILES
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-compare.service
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar-compare.timer
    ${CMAKE_SOURCE_DIR}/doc/scheduled/velumtar.cron
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME velumtar)
set(CPACK_PACKAGE_VENDOR "The VELUMTAR developers")
set(CPACK_PACKAGE_CONTACT "The VELUMTAR developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Detects change in the executable files of a drive between runs")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velumtar-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils, man-db")
endif()
include(CPack)
