// Reading the host's manifest: the errors an operator can make.
#include "vel/core/manifest.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>

namespace vel {
namespace {

class ManifestTest : public testing::Test {
 protected:
  void SetUp() override { boost::filesystem::create_directories(dir_); }
  std::string Write(const std::string& text) {
    std::ofstream(path_) << text;
    return path_;
  }
  void TearDown() override { boost::filesystem::remove_all(dir_); }

  const std::string dir_ =
      (boost::filesystem::path(testing::TempDir()) / "manifest_test")
          .lexically_normal()
          .string();
  const std::string path_ = dir_ + "/manifest.json";
};

TEST_F(ManifestTest, ReadsNameLibraryArgumentsAndFlags) {
  Manifest manifest;
  std::string error;
  ASSERT_TRUE(
      Manifest::Load(Write(R"({"name": "Comp", "library": "lib/libcomp.so",
                "arguments": {"leaderboard_ids": ["a"]},
                "flags": {"server_tcp_port": 9000, "enable_x": true, "s": "v"}})"),
                     &manifest, &error))
      << error;
  EXPECT_EQ(manifest.name(), "Comp");
  // A relative path with a directory is taken from the manifest's folder.
  EXPECT_EQ(manifest.library(), dir_ + "/lib/libcomp.so");
  EXPECT_EQ(manifest.arguments()["leaderboard_ids"][0].GetString(), "a");
  EXPECT_EQ(manifest.flags().at("server_tcp_port"), "9000");
  EXPECT_EQ(manifest.flags().at("enable_x"), "true");
  EXPECT_EQ(manifest.flags().at("s"), "v");
}

TEST_F(ManifestTest, BareLibraryNameIsLeftToTheLoader) {
  Manifest manifest;
  std::string error;
  ASSERT_TRUE(Manifest::Load(Write(R"({"name": "C", "library": "libc.so"})"),
                             &manifest, &error));
  EXPECT_EQ(manifest.library(), "libc.so");
  EXPECT_TRUE(manifest.arguments().IsObject());
}

TEST_F(ManifestTest, RejectsBrokenManifests) {
  const char* broken[] = {
      "not json",
      "[]",
      R"({"library": "x.so"})",
      R"({"name": "", "library": "x.so"})",
      R"({"name": "C"})",
      R"({"name": "C", "library": "x.so", "arguments": []})",
      R"({"name": "C", "library": "x.so", "flags": {"a": [1]}})",
  };
  for (const char* text : broken) {
    Manifest manifest;
    std::string error;
    EXPECT_FALSE(Manifest::Load(Write(text), &manifest, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  Manifest manifest;
  std::string error;
  EXPECT_FALSE(Manifest::Load("/nonexistent/manifest.json", &manifest, &error));
}

TEST_F(ManifestTest, TextIsCheckedLikeAFileAndAnchoredAtItsPath) {
  Manifest manifest;
  std::string error;
  ASSERT_TRUE(Manifest::Parse(R"({"name": "C", "library": "lib/c.so"})",
                              "/etc/plemox/manifest.json", &manifest, &error))
      << error;
  EXPECT_EQ(manifest.library(), "/etc/plemox/lib/c.so");
  EXPECT_TRUE(manifest.arguments().IsObject());
  Manifest unchanged = manifest;
  EXPECT_FALSE(Manifest::Parse("{\"name\": 1}", "/m.json", &manifest, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(manifest.library(), unchanged.library());
}

}  // namespace
}  // namespace vel
