#include "platform/Foundation/Log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/Foundation/Thread.h"

namespace platform {

namespace {

// A message must stay one line, so characters that would end or hide part of
// it are written as C escapes. The backslash is escaped too, which keeps the
// escaping reversible: "\n" in a line is always a line feed of the message.
void appendEscaped(std::string& out, std::string_view message) {
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : message) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += '\t';
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

void appendTimestamp(std::string& out) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  ::localtime_r(&now.tv_sec, &local);
  char buffer[64];
  const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  out.append(buffer, n);
  std::snprintf(buffer, sizeof buffer, ".%03ld", now.tv_nsec / 1000000);
  out += buffer;
}

}  // namespace

void NSLog(std::string_view message) {
  // A caller may log right after a failed call and read errno afterwards.
  const int savedErrno = errno;

  std::string line;
  line.reserve(message.size() + 64);
  appendTimestamp(line);
  line += ' ';
  line += program_invocation_short_name;
  line += '[';
  line += std::to_string(::getpid());
  line += ':';
  line += Thread::currentName();
  line += "] ";
  appendEscaped(line, message);
  line += '\n';

  // One write(2) per line. A short write (a long line on a pipe) is finished
  // under the lock, so even then no other thread's line lands in the middle.
  // Never destroyed: detached threads log while the process exits.
  static std::mutex* const writeMutex = new std::mutex;
  std::lock_guard<std::mutex> lock(*writeMutex);
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // nowhere else to report it
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  errno = savedErrno;
}

}  // namespace platform
