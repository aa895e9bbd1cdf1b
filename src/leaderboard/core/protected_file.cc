#include "leaderboard/core/protected_file.h"

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace plemox {

bool ProtectedFile::Read(const std::string& path, std::size_t max_bytes,
                         std::string* content, std::string* error) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    *error = "cannot read " + path;
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = path + " is not a regular file";
    return false;
  }
  const mode_t mode = status.st_mode & 07777;
  if ((mode & ~static_cast<mode_t>(0640)) != 0) {
    std::ostringstream text;
    text << path << " has mode 0" << std::oct << mode
         << ", more open than 0640 (chmod 0640 it)";
    *error = text.str();
    return false;
  }
  if (static_cast<std::uint64_t>(status.st_size) > max_bytes) {
    *error = path + " is larger than " + std::to_string(max_bytes) + " bytes";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  // The file may have grown between the stat and the read.
  std::string read = text.str();
  if (read.size() > max_bytes) {
    *error = path + " is larger than " + std::to_string(max_bytes) + " bytes";
    return false;
  }
  *content = std::move(read);
  return true;
}

}  // namespace plemox
