# Version information, application manifest and icon of velumtar.exe,
# compiled with the resource compiler of the toolchain.
if(NOT WIN32)
  return()
endif()
enable_language(RC)
set(VELUMTAR_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
configure_file(${VELUMTAR_RESOURCE_DIR}/velumtar.rc.in ${CMAKE_BINARY_DIR}/velumtar.rc @ONLY)
target_sources(velumtar PRIVATE ${CMAKE_BINARY_DIR}/velumtar.rc)
set_source_files_properties(${CMAKE_BINARY_DIR}/velumtar.rc PROPERTIES
  OBJECT_DEPENDS "${VELUMTAR_RESOURCE_DIR}/velumtar.manifest;${VELUMTAR_RESOURCE_DIR}/velumtar.ico")
