#pragma once

#include <string>
#include <string_view>

namespace halden::collector {

// Makes text a client sent safe to print on a terminal. Hit values, paths and
// header values are whatever the client put there, and a terminal acts on
// control sequences in them (clearing the screen, moving the cursor,
// rewriting the line with a carriage return). Printed through here, every C0
// control (line feeds included), DEL, every C1 control (U+0080 to U+009F,
// and a lone byte 0x80 to 0x9F, which an 8-bit terminal takes for one) and
// every other byte that is not part of well-formed UTF-8 shows as "\xHH", one
// escape a byte; a backslash shows as "\\", so an escape in the output is
// never one the client wrote. Other UTF-8 text stays as it is.
//
// Pure functions; safe to call from any thread.
class ConsoleText {
 public:
  static std::string escape(std::string_view text);
};

}  // namespace halden::collector
