#pragma once

#include <string_view>

namespace platform {

// The system log: one line on standard error per message,
// "2026-12-08 18:40:02.123 program[pid:thread] message", in local time, with
// the process's short name and the calling thread's name. A message stays one
// line: a line feed is written as "\n", a carriage return as "\r", a NUL byte
// as "\0", a backslash as "\\" and other control characters (except the tab)
// as "\xHH". Lines from several threads never interleave. Safe from any
// thread; errno is left as it was.
void NSLog(std::string_view message);

}  // namespace platform
