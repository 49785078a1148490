# Fails when an installed header includes a header of this project that is not
# installed: a user of the installed package could not compile it.
#
#   cmake -DROOT=<project root> -DFILES=<header;...> -DINCLUDE_DIRS=<dir;...>
#         [-DSTAMP=<file>] -P CheckInstalledHeaders.cmake
#
# FILES are the installed headers (absolute paths); the lists may be
# separated with "|" as well as ";". Each include line of
# theirs, quoted or angled, is looked up the way the compiler finds it in the
# build: a quoted one beside the including header first, then in each of
# INCLUDE_DIRS (the library's folder and the project root). One that is found
# there, inside ROOT, must be among FILES; system headers are not followed.
# STAMP, when given, is touched once every header passes.
cmake_minimum_required(VERSION 3.25)

foreach(var ROOT FILES INCLUDE_DIRS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckInstalledHeaders: ${var} is not set")
  endif()
endforeach()

foreach(var FILES INCLUDE_DIRS)
  string(REPLACE "|" ";" ${var} "${${var}}")
endforeach()

set(problems)
foreach(header IN LISTS FILES)
  if(NOT EXISTS "${header}")
    list(APPEND problems "${header} is listed as installed but does not exist")
    continue()
  endif()
  get_filename_component(dir "${header}" DIRECTORY)
  file(STRINGS "${header}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "include[ \t]*([<\"])([^>\"]+)[>\"]" _ "${line}")
    set(delimiter "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    set(candidates)
    if(delimiter STREQUAL "\"")
      list(APPEND candidates "${dir}/${name}")
    endif()
    foreach(include_dir IN LISTS INCLUDE_DIRS)
      list(APPEND candidates "${include_dir}/${name}")
    endforeach()
    foreach(candidate IN LISTS candidates)
      if(EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
        get_filename_component(candidate "${candidate}" ABSOLUTE)
        file(RELATIVE_PATH relative "${ROOT}" "${candidate}")
        if(NOT relative MATCHES "^\\.\\./" AND NOT candidate IN_LIST FILES)
          file(RELATIVE_PATH shown "${ROOT}" "${header}")
          list(APPEND problems
               "${shown} includes ${relative}, which is not installed: add it to the installed headers or drop the include")
        endif()
        break()
      endif()
    endforeach()
  endforeach()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/CheckReport.cmake)
halden_check_report("Installed headers include headers that are not installed")
