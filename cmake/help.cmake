# The help: vlmhelpx.chm compiled from the HTML pages in doc/help with chmcmd,
# and for the Linux build the same pages as HTML and the manual page. In the
# build tree they sit beside the executable (html/, man/man1/) where the
# Linux build's help looks for them.
file(GLOB help_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/help/*)
file(GLOB help_pages CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/doc/help/*.html ${CMAKE_SOURCE_DIR}/doc/help/*.css)

find_program(CHMCMD chmcmd)
set(help_outputs)
if(CHMCMD)
  set(VELUMTAR_CHM ${CMAKE_BINARY_DIR}/vlmhelpx.chm)
  add_custom_command(OUTPUT ${VELUMTAR_CHM}
    COMMAND ${CMAKE_COMMAND} -E rm -rf help-chm
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/doc/help help-chm
    COMMAND ${CMAKE_COMMAND} -E chdir help-chm ${CHMCMD} vlmhelpx.hhp
    COMMAND ${CMAKE_COMMAND} -E copy help-chm/vlmhelpx.chm ${VELUMTAR_CHM}
    DEPENDS ${help_sources}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Compiling the help file vlmhelpx.chm")
  list(APPEND help_outputs ${VELUMTAR_CHM})
elseif(WIN32)
  message(WARNING "chmcmd not found (package fp-utils): vlmhelpx.chm is not built")
endif()

if(NOT WIN32)
  set(help_stamp ${CMAKE_BINARY_DIR}/html/.copied)
  add_custom_command(OUTPUT ${help_stamp} ${CMAKE_BINARY_DIR}/man/man1/velumtar.1
    COMMAND ${CMAKE_COMMAND} -E rm -rf html
    COMMAND ${CMAKE_COMMAND} -E make_directory html man/man1
    COMMAND ${CMAKE_COMMAND} -E copy ${help_pages} html/
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/doc/velumtar.1 man/man1/
    COMMAND ${CMAKE_COMMAND} -E touch ${help_stamp}
    DEPENDS ${help_pages} ${CMAKE_SOURCE_DIR}/doc/velumtar.1
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Placing the HTML help and the manual page")
  # Installed manual pages are compressed, without a time stamp.
  set(VELUMTAR_MANUALS_GZ)
  foreach(page velumtar.1 velumtar-check.1)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${page}.gz
      COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/doc/${page}
              -DOUT=${CMAKE_BINARY_DIR}/${page}.gz -P ${CMAKE_SOURCE_DIR}/cmake/gzip_file.cmake
      DEPENDS ${CMAKE_SOURCE_DIR}/doc/${page} ${CMAKE_SOURCE_DIR}/cmake/gzip_file.cmake)
    list(APPEND VELUMTAR_MANUALS_GZ ${CMAKE_BINARY_DIR}/${page}.gz)
  endforeach()
  list(APPEND help_outputs ${help_stamp} ${VELUMTAR_MANUALS_GZ})
endif()

add_custom_target(velumtar_help ALL DEPENDS ${help_outputs})
