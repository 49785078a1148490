# The end of a source check run as a cmake -P script: fails with `heading`
# and one line per entry of the list `problems` when there are any; otherwise
# touches STAMP, when the caller gave one.
macro(halden_check_report heading)
  if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "${heading}:\n  ${text}")
  endif()
  if(DEFINED STAMP)
    file(TOUCH "${STAMP}")
  endif()
endmacro()
