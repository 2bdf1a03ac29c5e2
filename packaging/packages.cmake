# The packages target makes the tarball (an install, to unpack into a prefix), the RPM, the source
# archive in a clone, and SHA256SUMS in the build folder; the .deb is dpkg-buildpackage's.

# musl's license asks that its notice go with every copy of its code.
if(SHLAUNCH_LIBC STREQUAL musl)
  find_file(musl_notice NAMES COPYRIGHT copyright NO_CACHE NO_DEFAULT_PATH PATHS ${SHLAUNCH_MUSL_ROOT}
    /usr/share/doc/musl /usr/share/licenses/musl /usr/share/licenses/musl-libc) # in the target's root, when cross
  if(NOT musl_notice)
    message(WARNING "shlaunch: musl's notice was not found, and the packages lack it: set SHLAUNCH_MUSL_ROOT to a folder with musl's COPYRIGHT")
  endif()
endif()
if(musl_notice)
  install(FILES ${musl_notice} RENAME COPYRIGHT.musl DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
  install(FILES ${musl_notice} RENAME COPYRIGHT.musl DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/shlaunch
    COMPONENT rpm EXCLUDE_FROM_ALL)
endif()
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/shlaunch COMPONENT rpm EXCLUDE_FROM_ALL)

# Every time stamp is the release's, unless the builder sets another. Staged by component.
set(epoch "\${SOURCE_DATE_EPOCH:-$ENV{SOURCE_DATE_EPOCH}}")
# The machine as uname -m names it, but for MIPS, whose byte orders it names alike: as rpm does.
set(machine ${CMAKE_SYSTEM_PROCESSOR})
if(machine MATCHES "^mips(64)?$" AND CMAKE_CXX_BYTE_ORDER STREQUAL LITTLE_ENDIAN)
  string(APPEND machine el)
endif()
set(tarball shlaunch-${PROJECT_VERSION}-linux-${machine})
add_custom_command(OUTPUT ${tarball}.tar.gz
  COMMAND ${CMAKE_COMMAND} -E rm -rf tarball
  COMMAND ${CMAKE_COMMAND} --install . --prefix tarball/${tarball} --strip --component launcher
  COMMAND ${CMAKE_COMMAND} --install . --prefix tarball/${tarball} --component readme
  COMMAND ${CMAKE_COMMAND} --install . --prefix tarball/${tarball} --component license
  COMMAND sh -c "tar --sort=name --format=gnu --owner=root:0 --group=root:0 --mode=u+rw,go=rX \
    --mtime=@${epoch} -C tarball -cf - ${tarball} | gzip -9n >${tarball}.tar.gz"
  DEPENDS shlaunch manual README.md LICENSE VERBATIM)

set(CPACK_GENERATOR RPM)
set(CPACK_PACKAGE_CONTACT "shlaunch developers <dev@shlaunch.invalid>")
set(CPACK_PACKAGE_VENDOR "shlaunch developers")
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL launcher readme rpm)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "System Environment/Shells")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/description.txt)
if(SHLAUNCH_STATIC)
  set(CPACK_RPM_PACKAGE_AUTOREQ OFF) # rpm would ask for a dynamic loader it never uses
endif()
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/shlaunch/LICENSE")
if(musl_notice)
  list(APPEND CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/shlaunch/COPYRIGHT.musl")
endif()
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
# The same bytes from every build: no build host or build-id links, the release's times.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")
string(REPLACE armv7l armv7hl CPACK_RPM_PACKAGE_ARCHITECTURE ${machine}) # the target's, in rpm's words
include(CPack)
set(rpm shlaunch-${PROJECT_VERSION}-1.${CPACK_RPM_PACKAGE_ARCHITECTURE}.rpm)
add_custom_command(OUTPUT ${rpm} DEPENDS shlaunch manual README.md LICENSE VERBATIM
  COMMAND sh -c "umask 022 && SOURCE_DATE_EPOCH=${epoch} exec \"$0\" --config CPackConfig.cmake >/dev/null" ${CMAKE_CPACK_COMMAND})
set(packages ${tarball}.tar.gz ${rpm})
find_program(SHLAUNCH_RPMBUILD rpmbuild NO_CACHE) # so that configuring again after rpm comes or goes chooses again
if(NOT SHLAUNCH_RPMBUILD)
  set(packages ${tarball}.tar.gz)
  set(no_rpm COMMAND ${CMAKE_COMMAND} -E echo "shlaunch: no RPM, as rpmbuild was not found (Debian: rpm, Fedora: rpm-build)")
endif()

# The source archive: what git archive HEAD holds, where there is a HEAD.
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  add_custom_target(dist BYPRODUCTS shlaunch-${PROJECT_VERSION}.tar.gz VERBATIM COMMAND sh -c "\"$0\" -C \"$1\" archive --prefix=$2/ HEAD | gzip -9n >$2.tar.gz"
    ${GIT_EXECUTABLE} ${PROJECT_SOURCE_DIR} shlaunch-${PROJECT_VERSION})
  list(APPEND packages shlaunch-${PROJECT_VERSION}.tar.gz)
  set(dist dist)
endif()

add_custom_target(packages ${no_rpm} COMMAND sh -c "sha256sum $* >SHA256SUMS" sha256sum ${packages}
  DEPENDS ${packages} ${dist} VERBATIM)
