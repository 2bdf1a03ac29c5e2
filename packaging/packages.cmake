# The packages, made in the build folder by `cmake --build build --target
# packages`, each with its family's own tool, and SHA256SUMS beside them:
#
#   tarball  GNU tar: what a plain install holds (the launcher, its manual
#            page, README, LICENSE and musl's notice), to unpack into a prefix
#   deb      dpkg-buildpackage, from debian/: /usr, the launcher and manual
#            page, the copyright with musl's notice, and the changelog
#   rpm      CPack: /usr, the launcher, manual page and README, and the
#            licenses under /usr/share/licenses, marked as such
#
# A package whose tool is missing or cannot work here is left out, with a
# line that says why; the others are made all the same.

# A static launcher carries musl's code, and musl's license asks that its
# notice go with every copy: find the notice its package installed.
if(SHLAUNCH_LIBC STREQUAL musl AND SHLAUNCH_STATIC_PIE)
  file(GLOB musl_notices /usr/share/doc/musl/copyright /usr/share/licenses/musl*/COPYRIGHT
    ${SHLAUNCH_MUSL_ROOT}/COPYRIGHT)
  if(musl_notices)
    list(GET musl_notices 0 musl_notice)
  else()
    message(WARNING "shlaunch: musl's copyright notice was not found, and the packages lack it. "
      "Debian's package musl installs it; elsewhere, set SHLAUNCH_MUSL_ROOT to a musl folder holding COPYRIGHT.")
  endif()
endif()

# Debian's copyright file, with musl's notice in a comment where it is linked in.
file(READ debian/copyright copyright)
if(musl_notice)
  file(READ ${musl_notice} notice)
  string(REGEX REPLACE "\n+$" "" notice "${notice}")
  string(REGEX REPLACE "\n\n" "\n.\n" notice "${notice}")
  string(REPLACE "\n" "\n " notice "${notice}")
  string(REPLACE "\n\nFiles: *" "\nComment: /usr/bin/shlaunch is linked statically against\
 musl, whose notice follows, as its package states it.\n .\n ${notice}\n\nFiles: *"
    copyright "${copyright}")
  install(FILES ${musl_notice} RENAME COPYRIGHT.musl DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
  install(FILES ${musl_notice} RENAME COPYRIGHT.musl DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/shlaunch
    COMPONENT rpm EXCLUDE_FROM_ALL)
endif()
file(WRITE ${PROJECT_BINARY_DIR}/copyright "${copyright}")
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/shlaunch COMPONENT rpm EXCLUDE_FROM_ALL)

# Every time stamp is the release's, unless the builder sets another.
set(epoch "\${SOURCE_DATE_EPOCH:-${SHLAUNCH_RELEASE_EPOCH}}")
set(packages)

execute_process(COMMAND tar --version OUTPUT_VARIABLE tar_version ERROR_QUIET)
if(tar_version MATCHES "GNU tar")
  set(tarball shlaunch-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  add_custom_command(OUTPUT ${tarball}.tar.gz
    COMMAND ${CMAKE_COMMAND} -E rm -rf tarball
    COMMAND ${CMAKE_COMMAND} --install . --prefix tarball/${tarball} --component launcher --strip
    COMMAND ${CMAKE_COMMAND} --install . --prefix tarball/${tarball} --component readme
    COMMAND ${CMAKE_COMMAND} --install . --prefix tarball/${tarball} --component license
    COMMAND sh -c "tar --sort=name --format=gnu --owner=root:0 --group=root:0 --mode=u+rw,go=rX \
      --mtime=@${epoch} -C tarball -cf - ${tarball} | ${SHLAUNCH_GZIP} -9n >${tarball}.tar.gz"
    DEPENDS shlaunch manual README.md LICENSE
    VERBATIM)
  list(APPEND packages ${tarball}.tar.gz)
else()
  message(STATUS "shlaunch: no tarball: it needs GNU tar, for its order of files and owners")
endif()

find_program(SHLAUNCH_DPKG_BUILDPACKAGE dpkg-buildpackage)
find_program(SHLAUNCH_DH dh)
if(NOT SHLAUNCH_DPKG_BUILDPACKAGE OR NOT SHLAUNCH_DH)
  message(STATUS "shlaunch: no .deb: it needs dpkg-buildpackage and debhelper")
elseif(NOT SHLAUNCH_LIBC STREQUAL musl OR NOT SHLAUNCH_STATIC_PIE)
  message(STATUS "shlaunch: no .deb: it carries a static launcher against musl, and this build is not one")
else()
  # Built from a copy of the sources, as dpkg-buildpackage writes beside them;
  # what debian/control asks for to build is here, as configure has just
  # found, but for build-essential, which names the compiler this is.
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(deb shlaunch_${PROJECT_VERSION}_${deb_arch}.deb)
  add_custom_command(OUTPUT ${deb}
    COMMAND sh -c "rm -rf deb && mkdir -p deb/shlaunch && \
      cd \"$0\" && cp -R CMakeLists.txt README.md LICENSE src cmake man packaging debian \"$1/deb/shlaunch\" && \
      cd \"$1/deb/shlaunch\" && DEB_BUILD_OPTIONS=noautodbgsym dpkg-buildpackage --build=binary --no-sign \
      --no-check-builddeps >../build.log 2>&1 || { tail -n20 ../build.log >&2; exit 1; }" ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy deb/${deb} ${deb}
    DEPENDS ${shlaunch_sources} man/shlaunch.1.in README.md debian/changelog debian/control debian/rules
      debian/copyright
    VERBATIM)
  list(APPEND packages ${deb})
endif()

find_program(SHLAUNCH_RPMBUILD rpmbuild)
if(NOT SHLAUNCH_RPMBUILD)
  message(STATUS "shlaunch: no RPM: it needs rpmbuild (Debian: rpm. Fedora: rpm-build)")
elseif(PROJECT_BINARY_DIR MATCHES " ")
  message(STATUS "shlaunch: no RPM: rpmbuild cannot work in a folder whose path holds a space")
else()
  set(CPACK_GENERATOR RPM)
  set(CPACK_PACKAGE_NAME shlaunch)
  set(CPACK_PACKAGE_CONTACT "shlaunch developers <dev@shlaunch.invalid>")
  set(CPACK_PACKAGE_VENDOR "shlaunch developers")
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL launcher readme rpm)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_RPM_PACKAGE_SUMMARY "Run a shell command line with the usual signal defaults")
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_GROUP "System Environment/Shells")
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  # The description is debian/control's, unfolded.
  file(STRINGS debian/control description REGEX "^ ")
  list(TRANSFORM description REPLACE "^ \\.?" "")
  list(JOIN description "\n" CPACK_RPM_PACKAGE_DESCRIPTION)
  # A static launcher needs nothing: rpm's dependency generator would ask
  # for a dynamic loader (rtld(GNU_HASH)) that it never uses.
  if(SHLAUNCH_STATIC_PIE)
    set(CPACK_RPM_PACKAGE_AUTOREQ OFF)
  endif()
  # The license files are marked as such; the folders that other packages own
  # (man1, doc, licenses) are left to them.
  set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/shlaunch/LICENSE")
  if(musl_notice)
    list(APPEND CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/shlaunch/COPYRIGHT.musl")
  endif()
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
  # The packager; and the same bytes from every build: the build host and
  # times from the release, no build-id links, and the payload's times clamped
  # to it.
  set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")
  include(CPack)
  set(rpm shlaunch-${PROJECT_VERSION}-1.${CMAKE_SYSTEM_PROCESSOR}.rpm)
  # CPack stages the files with the umask's modes, and rpm packs the folders so.
  add_custom_command(OUTPUT ${rpm}
    COMMAND sh -c "umask 022 && SOURCE_DATE_EPOCH=${epoch} exec \"$0\" --config CPackConfig.cmake >/dev/null"
      ${CMAKE_CPACK_COMMAND}
    DEPENDS shlaunch manual README.md LICENSE
    VERBATIM)
  list(APPEND packages ${rpm})
endif()

list(JOIN packages ", " made)
message(STATUS "shlaunch: the packages target makes ${made}")
add_custom_target(packages
  COMMAND sh -c "exec sha256sum \"$@\" >SHA256SUMS" sh ${packages}
  DEPENDS ${packages}
  VERBATIM)
