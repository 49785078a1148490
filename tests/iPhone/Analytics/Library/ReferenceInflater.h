#pragma once

#include <dlfcn.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// zlib's own inflater driven the plain way, to check what our compression
// wrapper writes against a decoder that is not ours. The client library links
// zlib privately, so the test program cannot link it by name; the library
// has already loaded it into the process, and its entry points are looked up
// there.
class ReferenceInflater {
 public:
  enum class Wrapper { Zlib, Gzip, Raw };

  // The whole decoded stream, or nothing when the input is not exactly one
  // complete stream of that wrapper.
  static std::optional<std::string> inflate(const std::vector<uint8_t>& input, Wrapper wrapper) {
    static const Api api = Api::load();
    if (!api.ok()) return std::nullopt;
    z_stream stream{};
    const int bits = wrapper == Wrapper::Raw ? -15 : wrapper == Wrapper::Gzip ? 31 : 15;
    if (api.init(&stream, bits, api.version(), static_cast<int>(sizeof(z_stream))) != Z_OK) {
      return std::nullopt;
    }
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    std::string out;
    int status = Z_OK;
    while (status == Z_OK) {
      unsigned char buffer[4096];
      stream.next_out = buffer;
      stream.avail_out = sizeof buffer;
      status = api.step(&stream, Z_NO_FLUSH);
      out.append(reinterpret_cast<char*>(buffer), sizeof buffer - stream.avail_out);
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0;
    api.end(&stream);
    if (!complete) return std::nullopt;
    return out;
  }

 private:
  struct Api {
    decltype(&::inflateInit2_) init = nullptr;
    decltype(&::inflate) step = nullptr;
    decltype(&::inflateEnd) end = nullptr;
    decltype(&::zlibVersion) version = nullptr;

    bool ok() const { return init && step && end && version; }

    static Api load() {
      Api api;
      api.init = reinterpret_cast<decltype(&::inflateInit2_)>(dlsym(RTLD_DEFAULT, "inflateInit2_"));
      api.step = reinterpret_cast<decltype(&::inflate)>(dlsym(RTLD_DEFAULT, "inflate"));
      api.end = reinterpret_cast<decltype(&::inflateEnd)>(dlsym(RTLD_DEFAULT, "inflateEnd"));
      api.version = reinterpret_cast<decltype(&::zlibVersion)>(dlsym(RTLD_DEFAULT, "zlibVersion"));
      return api;
    }
  };
};
