#include "vel/core/secret_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vel {

bool SecretFile::Read(const std::string& path, std::string* out,
                      std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  // Editors and `echo` end the line; the newline is not part of the secret.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) {
    *error = path + " is empty";
    return false;
  }
  if (text.find_first_of("\r\n") != std::string::npos) {
    *error = path + " holds more than one line; it must hold the secret alone";
    return false;
  }
  *out = std::move(text);
  return true;
}

bool SecretFile::Resolve(const std::string& value_flag,
                         const std::string& value, const std::string& file_flag,
                         const std::string& path, std::string* out,
                         std::string* error) {
  if (path.empty()) {
    *out = value;
    return true;
  }
  if (!value.empty()) {
    *error = "give --" + value_flag + " or --" + file_flag + ", not both";
    return false;
  }
  std::string read_error;
  if (!Read(path, out, &read_error)) {
    *error = "--" + file_flag + ": " + read_error;
    return false;
  }
  return true;
}

}  // namespace vel
