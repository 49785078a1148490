# Fails when a file of the platform layer includes, in quotes, anything but a
# platform header by its full name ("platform/<Framework>/<Header>.h"): the
# layer sees only itself and its dependencies, whose headers are included in
# angle brackets. The include root already keeps the library's headers out
# of reach by name; this also refuses a path that climbs out ("..").
#
#   cmake -DFILES=<file;...> [-DSTAMP=<file>] -P CheckPlatformIncludes.cmake
#
# FILES may be separated with "|" as well as ";". STAMP, when given, is
# touched once every file passes.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED FILES)
  message(FATAL_ERROR "CheckPlatformIncludes: FILES is not set")
endif()
string(REPLACE "|" ";" FILES "${FILES}")

set(problems)
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "\"([^\"]+)\"" _ "${line}")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "^platform/[A-Za-z]+/[A-Za-z0-9_]+\\.h$")
      list(APPEND problems "${file} includes \"${name}\", which is not a platform header")
    endif()
  endforeach()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/CheckReport.cmake)
halden_check_report("The platform layer includes what is built on it")
