# The Windows installer velumtar-<version>-x64.msi, made by CPack's External
# generator from the staged installation (the files of the ZIP) with wixl and
# packaging/velumtar.wxs. `cpack -G External -D CPACK_PACKAGE_VERSION=<v>`
# makes one for another version.
set(stage ${CPACK_TEMPORARY_DIRECTORY})
set(version ${CPACK_PACKAGE_VERSION})
# wixl looks for the files it packs relative to the source file: the source
# and the icon are copied beside the staged installation.
get_filename_component(work ${stage} DIRECTORY)
get_filename_component(source_dir ${stage} NAME)
configure_file(${CPACK_VELUMTAR_WXS} ${work}/velumtar.wxs COPYONLY)
configure_file(${CPACK_VELUMTAR_ICON} ${work}/velumtar.ico COPYONLY)
set(help no)
if(EXISTS ${stage}/vlmhelpx.chm)
  set(help yes)
endif()
# One product code for each version, derived from the upgrade code: a rebuild
# of an installed version is taken for the installed product, never installed
# beside it; a newer version replaces it.
file(STRINGS ${CPACK_VELUMTAR_WXS} upgrade_code REGEX "UpgradeCode=")
string(REGEX REPLACE ".*UpgradeCode=\"([-0-9A-F]+)\".*" "\\1" upgrade_code "${upgrade_code}")
string(UUID product_code NAMESPACE ${upgrade_code} NAME ${version} TYPE SHA1 UPPER)
set(msi ${work}/velumtar-${version}-x64.msi)
execute_process(
  COMMAND ${CPACK_VELUMTAR_WIXL} -a x64 -D Version=${version} -D ProductCode=${product_code}
          -D SourceDir=${source_dir} -D Icon=velumtar.ico -D Help=${help}
          -o ${msi} ${work}/velumtar.wxs
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "wixl could not build ${msi}")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
