# halden_header_closure(<out> <header>...)
# Sets <out> to the given headers and every header of this project they
# include, directly or through others: what a user of the installed package
# needs to compile them, and nothing more. A quoted include is looked for
# beside the including header, then from the project's root
# ("platform/Foundation/Value.h"); system includes are not followed. Every
# header read becomes a configure dependency, so a changed include list is
# seen at the next build.
function(halden_header_closure out)
  set(pending ${ARGN})
  set(seen)
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${header})
    get_filename_component(dir ${header} DIRECTORY)
    file(STRINGS ${header} includes REGEX "^#include \"")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" name "${line}")
      foreach(candidate ${dir}/${name} ${PROJECT_SOURCE_DIR}/${name})
        if(EXISTS ${candidate})
          list(APPEND pending ${candidate})
          break()
        endif()
      endforeach()
    endforeach()
  endwhile()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${seen})
  set(${out} ${seen} PARENT_SCOPE)
endfunction()
