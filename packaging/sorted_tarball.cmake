# CPack runs this after each package it makes. Its tarball lists files in the
# order the file system returns them, which differs from build to build: with
# GNU tar at hand, make it again from the same staged files, sorted by name,
# with the owner root and the release's time, as the other packages have them.
if(NOT CPACK_GENERATOR STREQUAL "TGZ")
  return()
endif()
find_program(tar NAMES tar gtar)
find_program(gzip gzip)
execute_process(COMMAND ${tar} --version OUTPUT_VARIABLE version ERROR_QUIET)
if(NOT version MATCHES "GNU tar" OR NOT gzip)
  message(WARNING "no GNU tar here: the tarball's order of files may differ from build to build")
  return()
endif()
get_filename_component(top ${CPACK_TEMPORARY_DIRECTORY} NAME)
execute_process(
  COMMAND ${tar} --sort=name --format=gnu --owner=root:0 --group=root:0 --mode=go-w
    --mtime=@$ENV{SOURCE_DATE_EPOCH} -C ${CPACK_TOPLEVEL_DIRECTORY} -cf - ${top}
  COMMAND ${gzip} -9n
  OUTPUT_FILE ${CPACK_PACKAGE_FILES}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "making the sorted tarball failed")
endif()
