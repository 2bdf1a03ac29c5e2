# The packages, made by `cmake --build build --target packages`: a Debian
# package, an RPM and a tarball, each laid out as its family expects, the
# same bytes from the same sources, and SHA256SUMS beside them.
#
#   tarball  what a plain install holds: the launcher, its manual page,
#            README, LICENSE (and musl's notice), to unpack into a prefix
#   deb      /usr: the launcher and manual page, and in place of README and
#            LICENSE the copyright, changelog and lintian override Debian asks for
#   rpm      /usr: the launcher, manual page and README, and the licenses
#            under /usr/share/licenses, marked as such

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
file(READ packaging/copyright copyright)
if(musl_notice)
  # Debian's own field, naming the source package and version linked in.
  set(linked musl)
  execute_process(COMMAND dpkg-query -S ${SHLAUNCH_MUSL_LIBDIR}/libc.a
    OUTPUT_VARIABLE owner ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(owner MATCHES "^([^:]+)")
    execute_process(COMMAND dpkg-query -W "-f=\${source:Package} (= \${source:Version})" ${CMAKE_MATCH_1}
      OUTPUT_VARIABLE static_built_using OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(linked ${static_built_using})
  endif()
  file(READ ${musl_notice} notice)
  string(REGEX REPLACE "\n+$" "" notice "${notice}")
  string(REGEX REPLACE "\n\n" "\n.\n" notice "${notice}")
  string(REPLACE "\n" "\n " notice "${notice}")
  string(REPLACE "\n\nFiles: *" "\nComment: /usr/bin/shlaunch is linked statically against\
 ${linked}, whose notice follows, as its package states it.\n .\n ${notice}\n\nFiles: *"
    copyright "${copyright}")
  install(FILES ${musl_notice} RENAME COPYRIGHT.musl DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
  install(FILES ${musl_notice} RENAME COPYRIGHT.musl DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/shlaunch
    COMPONENT rpm EXCLUDE_FROM_ALL)
endif()
file(WRITE ${PROJECT_BINARY_DIR}/copyright "${copyright}")

install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides RENAME shlaunch
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/shlaunch COMPONENT rpm EXCLUDE_FROM_ALL)

# The tarball everywhere; the RPM where rpmbuild is installed; the .deb
# unless it would need dpkg-shlibdeps and file (a dynamic launcher) and they
# are not there.
find_program(SHLAUNCH_RPMBUILD rpmbuild)
find_program(SHLAUNCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(SHLAUNCH_FILE file)
set(CPACK_GENERATOR TGZ)
if((SHLAUNCH_DPKG_SHLIBDEPS AND SHLAUNCH_FILE) OR SHLAUNCH_STATIC_PIE)
  list(APPEND CPACK_GENERATOR DEB)
endif()
if(SHLAUNCH_RPMBUILD)
  list(APPEND CPACK_GENERATOR RPM)
endif()
list(JOIN CPACK_GENERATOR ", " generators)
message(STATUS "shlaunch: the packages target makes ${generators}")
set(CPACK_PACKAGE_NAME shlaunch)
set(CPACK_PACKAGE_CONTACT "shlaunch developers <dev@shlaunch.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION [=[
shlaunch takes one argument, a shell command line. It puts SIGPIPE,
SIGINT, SIGHUP, SIGQUIT and SIGCHLD back to their default actions,
writes the command line to standard output, runs it with /bin/sh -c and
waits for it.

A signal that a process ignores stays ignored in every program it starts.
Under a parent that ignores these (a language runtime, a job runner, a
CI agent, a wrapper that ignores hangups), a pipeline such as
'producer | head -n1' complains of a broken pipe and Ctrl-C does
nothing. Under shlaunch the command starts as it would from a fresh
terminal, and the echo shows in every log what ran.
]=])
set(CPACK_PACKAGE_VENDOR "shlaunch developers")
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_per_generator.cmake)
set(CPACK_SHLAUNCH_RELEASE_EPOCH ${SHLAUNCH_RELEASE_EPOCH})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
if(static_built_using)
  # CPack writes no field of its own choosing: this one rides on the line
  # before it.
  string(APPEND CPACK_DEBIAN_PACKAGE_SECTION "\nStatic-Built-Using: ${static_built_using}")
endif()
# Only a dynamic launcher needs libraries, and dpkg-shlibdeps or rpm's
# dependency generator to name them: for a static PIE the latter would ask
# for a dynamic loader (rtld(GNU_HASH)) that it never uses.
if(NOT SHLAUNCH_STATIC_PIE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_RPM_PACKAGE_AUTOREQ OFF)
endif()

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY "Run a shell command line with the usual signal defaults")
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "System Environment/Shells")
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_RELOCATABLE OFF)
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

set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/sorted_tarball.cmake
  ${PROJECT_SOURCE_DIR}/packaging/sha256sums.cmake)
include(CPack)

# cpack takes the modes of the files it writes itself (the .deb's members)
# from the umask: the packaging target fixes the umask, so that any user's
# build gives the same bytes.
add_custom_target(packages
  COMMAND sh -c "umask 022 && exec \"$0\" --config CPackConfig.cmake" ${CMAKE_CPACK_COMMAND}
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  USES_TERMINAL
  VERBATIM)
add_dependencies(packages shlaunch compressed_docs)
