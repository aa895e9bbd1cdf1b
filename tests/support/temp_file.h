// A file in a temporary directory of its own, written with the mode a test
// asks for, removed with its directory when the object goes: for the files
// whose content and mode the server checks (game server keys, client
// certificate subjects). Test thread only.
#pragma once

#include <sys/types.h>

#include <string>

namespace plemox_test {

class TempFile {
 public:
  // A directory /tmp/plemox_<name>_XXXXXX with the file `name` in it (not
  // yet written); the test fails when the directory cannot be made.
  explicit TempFile(const std::string& name);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Replaces the content with `text` and sets `mode`; returns path().
  const std::string& Write(const std::string& text, mode_t mode = 0640);
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace plemox_test
