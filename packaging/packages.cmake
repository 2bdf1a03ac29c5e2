# The Debian package and the tarball, made by cpack. Debian's package holds
# the launcher and its manual page, and in place of README and LICENSE the
# copyright, changelog and lintian override that Debian asks for; the
# tarball holds what a plain install does (packaging/cpack_per_generator.cmake).
install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides RENAME shlaunch
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB TGZ)
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
CI agent, nohup), a pipeline such as 'producer | head -n1' complains of a
broken pipe and Ctrl-C does nothing. Under shlaunch the command starts as
it would from a fresh terminal, and the echo shows in every log what ran.
]=])
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_per_generator.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
