#include "support/temp_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace plemox_test {

TempFile::TempFile(const std::string& name) {
  std::string pattern = "/tmp/plemox_" + name + "_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a temporary directory like " << pattern;
    return;
  }
  dir_ = pattern;
  path_ = dir_ + "/" + name;
}

TempFile::~TempFile() {
  if (dir_.empty()) return;
  unlink(path_.c_str());
  rmdir(dir_.c_str());
}

const std::string& TempFile::Write(const std::string& text, mode_t mode) {
  std::ofstream(path_, std::ios::trunc) << text;
  EXPECT_EQ(chmod(path_.c_str(), mode), 0) << path_;
  return path_;
}

}  // namespace plemox_test
