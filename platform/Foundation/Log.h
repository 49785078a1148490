#pragma once

#include <string_view>

namespace platform {

// The system log: one line on standard error per message,
// "2026-12-08 18:40:02.123 program[pid:thread] message". Lines from several
// threads never interleave. Safe from any thread.
void NSLog(std::string_view message);

}  // namespace platform
