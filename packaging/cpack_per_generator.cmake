# CPack reads this once for each generator, with CPACK_GENERATOR set to it.
# The tarball, to unpack into a prefix such as /usr/local, holds what a plain
# install does: the launcher, its manual page, README and LICENSE. Debian's
# package holds the launcher and its manual page, and in place of README and
# LICENSE the files Debian asks for.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL launcher debian)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
