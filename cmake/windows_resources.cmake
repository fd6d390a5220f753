# Version information, application manifest, icon and the event texts of
# velumtar.exe, compiled with the resource and message compilers of the
# toolchain.
if(NOT WIN32)
  return()
endif()
enable_language(RC)
set(VELUMTAR_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)

# The message table of the event log's texts: windmc beside windres.
string(REGEX REPLACE "windres([^/]*)$" "windmc\\1" VELUMTAR_WINDMC "${CMAKE_RC_COMPILER}")
set(events_dir ${CMAKE_BINARY_DIR}/events)
set(VELUMTAR_EVENTS_BIN ${events_dir}/MSG00409.bin)
add_custom_command(OUTPUT ${VELUMTAR_EVENTS_BIN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${events_dir}
  COMMAND ${VELUMTAR_WINDMC} -U -h ${events_dir} -r ${events_dir}
          ${VELUMTAR_RESOURCE_DIR}/velumtar_events.mc
  DEPENDS ${VELUMTAR_RESOURCE_DIR}/velumtar_events.mc
  COMMENT "Compiling the event texts"
  VERBATIM)

configure_file(${VELUMTAR_RESOURCE_DIR}/velumtar.rc.in ${CMAKE_BINARY_DIR}/velumtar.rc @ONLY)
target_sources(velumtar PRIVATE ${CMAKE_BINARY_DIR}/velumtar.rc ${VELUMTAR_EVENTS_BIN})
set_source_files_properties(${CMAKE_BINARY_DIR}/velumtar.rc PROPERTIES
  OBJECT_DEPENDS "${VELUMTAR_RESOURCE_DIR}/velumtar.manifest;${VELUMTAR_RESOURCE_DIR}/velumtar.ico;${VELUMTAR_EVENTS_BIN}")
