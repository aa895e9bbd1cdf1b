// Reading a file that decides who may use the game port (the game server
// keys, the client certificate subjects): it must be a regular file, no
// more open than 0640 (owner read/write, group read), and no larger than a
// bound, so that neither another local user nor a stray huge file can
// change who gets in. Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace plemox {

class ProtectedFile {
 public:
  // The whole content of `path` in *content. Returns false with *error
  // naming the file and the reason (never its content) when it cannot be
  // read, is not a regular file, grants more than 0640, or holds more than
  // `max_bytes`; *content is then unchanged.
  static bool Read(const std::string& path, std::size_t max_bytes,
                   std::string* content, std::string* error);

  ProtectedFile() = delete;
};

}  // namespace plemox
