# The release is recorded once: its version in project(), its date in the
# changelog's first entry, whose version must be the same. From the date come
# the manual page's date and the time stamps in the packages, unless
# SOURCE_DATE_EPOCH says otherwise, so that the same sources make the same
# bytes whenever and wherever they are built, from git or from a tarball.
#
# Sets SHLAUNCH_RELEASE_DATE (YYYY-MM-DD) and SHLAUNCH_RELEASE_EPOCH (seconds).

file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^shlaunch \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${entry}', not version ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog trailer REGEX "^ -- " LIMIT_COUNT 1)
set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
if(NOT trailer MATCHES ">  ..., ([0-9][0-9]) (...) ([0-9][0-9][0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([-+])([0-9][0-9])([0-9][0-9])$")
  message(FATAL_ERROR "packaging/changelog: no date in '${trailer}'")
endif()
set(day ${CMAKE_MATCH_1})
list(FIND month_names ${CMAKE_MATCH_2} month)
math(EXPR month "${month} + 1")
set(year ${CMAKE_MATCH_3})
math(EXPR seconds "${CMAKE_MATCH_4} * 3600 + ${CMAKE_MATCH_5} * 60 + ${CMAKE_MATCH_6}")
math(EXPR offset "${CMAKE_MATCH_7}(${CMAKE_MATCH_8} * 3600 + ${CMAKE_MATCH_9} * 60)")

# Days since 1970-01-01 of a proleptic Gregorian date, counted from a year
# that begins in March so that the leap day falls last.
if(month LESS_EQUAL 2)
  math(EXPR y "${year} - 1")
  math(EXPR m "${month} + 9")
else()
  set(y ${year})
  math(EXPR m "${month} - 3")
endif()
math(EXPR days "${y} * 365 + ${y} / 4 - ${y} / 100 + ${y} / 400 + (153 * ${m} + 2) / 5 + ${day} - 1 - 719468")
math(EXPR SHLAUNCH_RELEASE_EPOCH "${days} * 86400 + ${seconds} - ${offset}")
if(month LESS 10)
  set(month 0${month})
endif()
set(SHLAUNCH_RELEASE_DATE "${year}-${month}-${day}")
