// The configuration reference against the built programs: docs/configuration.md
// must be what scripts/flag_reference.py generates from the host and the
// component, the generator must refuse a flag without a note, and the host's
// --help must show the flags it can show and say how to see the rest.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_env.h"

namespace plemox_test {
namespace {

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output and standard error
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t read = 0;
  while ((read = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    result.output.append(buffer, read);
  }
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

class FlagReferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/plemox_flag_reference_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
  }
  void TearDown() override {
    if (!scratch_.empty()) RunCommand("rm -rf '" + scratch_ + "'");
  }

  // The generator on the build's binaries, with `arguments` added.
  CommandResult Generate(const std::string& arguments) {
    return RunCommand("python3 '" + SourceDir() +
                      "/scripts/flag_reference.py' --host '" + BinaryDir() +
                      "/plemox_host' --component '" + LibraryDir() +
                      "/libplemox-leaderboard.so' " + arguments);
  }

  std::string scratch_;
};

TEST_F(FlagReferenceTest, ConfigurationDocMatchesTheBinaries) {
  const CommandResult check = Generate("--check");
  EXPECT_EQ(check.exit_code, 0)
      << check.output
      << "\nA flag was added, removed or changed: describe it in "
         "scripts/flag_notes.md and run scripts/flag_reference.py --write";
}

TEST_F(FlagReferenceTest, FlagsWithoutNotesAndStaleDocsAreRefused) {
  const std::string notes = ReadFile(SourceDir() + "/scripts/flag_notes.md");
  const std::string block = "# flag mysql_pw\n";
  const std::size_t start = notes.find(block);
  ASSERT_NE(start, std::string::npos);
  const std::size_t end = notes.find("\n# ", start + block.size());
  ASSERT_NE(end, std::string::npos);

  // A flag of the component without its note.
  WriteFile(scratch_ + "/missing.md",
            notes.substr(0, start) + notes.substr(end + 1));
  const CommandResult missing =
      Generate("--stdout --notes '" + scratch_ + "/missing.md'");
  EXPECT_EQ(missing.exit_code, 1) << missing.output;
  EXPECT_NE(missing.output.find("--mysql_pw (src/common/leaderboard_flags.cc) "
                                "has no note"),
            std::string::npos)
      << missing.output;

  // A note for a flag that no binary defines.
  WriteFile(scratch_ + "/extra.md",
            notes + "\n# flag no_such_flag\nGone long ago.\n");
  const CommandResult extra =
      Generate("--stdout --notes '" + scratch_ + "/extra.md'");
  EXPECT_EQ(extra.exit_code, 1) << extra.output;
  EXPECT_NE(extra.output.find("--no_such_flag, which no binary defines"),
            std::string::npos)
      << extra.output;

  // A document that lacks a flag the binaries have.
  const std::string doc = ReadFile(SourceDir() + "/docs/configuration.md");
  const std::string heading = "### `--redis_timeout_ms`";
  const std::size_t entry = doc.find(heading);
  ASSERT_NE(entry, std::string::npos);
  const std::size_t next = doc.find("\n### ", entry);
  ASSERT_NE(next, std::string::npos);
  WriteFile(scratch_ + "/stale.md",
            doc.substr(0, entry) + doc.substr(next + 1));
  const CommandResult stale =
      Generate("--check --output '" + scratch_ + "/stale.md'");
  EXPECT_EQ(stale.exit_code, 1) << stale.output;
  EXPECT_NE(stale.output.find("+" + heading), std::string::npos)
      << stale.output;
}

// gflags ends a --help run with exit status 1.
TEST(HostHelpTest, WithoutManifestListsHostFlagsAndHowToSeeTheComponents) {
  const CommandResult help = RunCommand(BinaryDir() + "/plemox_host --help");
  EXPECT_EQ(help.exit_code, 1);
  EXPECT_NE(help.output.find("-api_port"), std::string::npos) << help.output;
  EXPECT_NE(help.output.find("-redis_host"), std::string::npos);
  EXPECT_EQ(help.output.find("-server_tcp_port"), std::string::npos);
  EXPECT_NE(help.output.find("--manifest=FILE --help lists them"),
            std::string::npos)
      << help.output;

  // Without --manifest and without --help: the usage and the same hint.
  const CommandResult bare = RunCommand(BinaryDir() + "/plemox_host");
  EXPECT_EQ(bare.exit_code, 1);
  EXPECT_NE(bare.output.find("--help lists the host's flags"),
            std::string::npos)
      << bare.output;
}

TEST(HostHelpTest, WithManifestListsTheComponentsFlagsToo) {
  char pattern[] = "/tmp/plemox_host_help_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string manifest = std::string(pattern) + "/manifest.json";
  WriteFile(manifest,
            "{\"name\": \"PlemoxLeaderboardServer\", \"library\": \"" +
                LibraryDir() + "/libplemox-leaderboard.so\"}");
  const CommandResult help = RunCommand(
      BinaryDir() + "/plemox_host --manifest=" + manifest + " --help");
  RunCommand(std::string("rm -rf '") + pattern + "'");
  EXPECT_EQ(help.exit_code, 1);
  EXPECT_NE(help.output.find("-server_tcp_port"), std::string::npos)
      << help.output;
  EXPECT_NE(help.output.find("-api_port"), std::string::npos);
}

}  // namespace
}  // namespace plemox_test
