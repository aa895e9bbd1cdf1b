// Passwords read from files at start-up, so that they need not stand on a
// command line (which every local user can read). Stateless; any thread.
#pragma once

#include <string>

namespace vel {

class SecretFile {
 public:
  // The whole content of the file at `path` with one trailing newline ("\n"
  // or "\r\n") removed. Returns false with *error set (naming the file,
  // never its content) when it cannot be read, is empty, or holds more than
  // one line. REQUIRES: out != nullptr, error != nullptr.
  static bool Read(const std::string& path, std::string* out,
                   std::string* error);

  // The secret given either as the flag `--<value_flag>` (its `value`) or by
  // the file of `--<file_flag>` (`path`): *out is `value` when `path` is
  // empty, the file's secret otherwise. Returns false with *error set when
  // both are given or the file cannot be used (see Read).
  static bool Resolve(const std::string& value_flag, const std::string& value,
                      const std::string& file_flag, const std::string& path,
                      std::string* out, std::string* error);

  SecretFile() = delete;
};

}  // namespace vel
