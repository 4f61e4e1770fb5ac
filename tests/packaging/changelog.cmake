# Checks that the newest changelog entry is the project's version: the packaged changelog, the
# AppStream release and the manual pages' date are all taken from that entry.
#
#   cmake -DCHANGELOG=FILE -DVERSION=X.Y.Z -P changelog.cmake
file(STRINGS "${CHANGELOG}" lines)
list(GET lines 0 first)
if(NOT first MATCHES "^veltrano \\(([^)]+)\\) [a-z-]+; urgency=[a-z]+$")
  message(FATAL_ERROR "${CHANGELOG}: the first line is no Debian changelog heading: ${first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "${CHANGELOG}: the newest entry is ${CMAKE_MATCH_1}, the project is ${VERSION}; "
                      "add an entry for ${VERSION}")
endif()
foreach(line IN LISTS lines)
  if(line MATCHES "^ -- ")
    if(NOT line MATCHES "^ -- [^<]+ <[^@>]+@[^>]+>  [A-Z][a-z][a-z], [0-9]?[0-9] [A-Z][a-z][a-z] [0-9]+ [0-9:]+ [-+][0-9]+$")
      message(FATAL_ERROR "${CHANGELOG}: malformed trailer line: '${line}'")
    endif()
    message(STATUS "changelog: newest entry ${VERSION}")
    return()
  endif()
endforeach()
message(FATAL_ERROR "${CHANGELOG}: the newest entry has no ' -- name <address>  date' line")
