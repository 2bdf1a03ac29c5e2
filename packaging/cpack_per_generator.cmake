# CPack reads this once for each generator, with CPACK_GENERATOR set to it:
# each package takes the install components its family expects.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL launcher debian)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_COMPONENTS_ALL launcher readme rpm)
endif()
if(CPACK_GENERATOR MATCHES "DEB|RPM")
  set(CPACK_${CPACK_GENERATOR}_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

# Every time stamp in the packages is the release's, unless the builder
# chooses another.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SHLAUNCH_RELEASE_EPOCH})
endif()
