// The schema export through the real host (--export_db_schema_to_file): the
// file it writes keeps its head and tail, and the mariadb client loads it
// as it is into an empty database, tables and stored procedures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

// Runs a shell command; its exit code and what it printed (stderr too).
std::pair<int, std::string> RunShell(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, n);
  }
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SchemaExportTest, ExportedFileLoadsWithTheMariadbClient) {
  StoreProbe probe;
  const std::string database = "e2eexport" + std::to_string(getpid());
  ASSERT_EQ(probe.Execute("CREATE DATABASE " + database), "");
  struct Drop {
    StoreProbe& probe;
    std::string database;
    ~Drop() { probe.Execute("DROP DATABASE IF EXISTS " + database); }
  } drop{probe, database};
  const boost::filesystem::path dir =
      boost::filesystem::temp_directory_path() /
      boost::filesystem::unique_path("schema-export-%%%%%%%%");
  const std::string path = (dir / "new" / "schema.sql").string();

  HostProcess::Options options = HostProcess::Options::WithArguments(
      R"("leaderboard_ids": ["stage1", "stage2"])");
  options.flags = {"--leaderboard_use_db_auto_schema_generation=false",
                   "--export_db_schema_to_file=" + path,
                   "--mysql_db_name=" + database};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  EXPECT_EQ(ExitCode(host.WaitForExit()), 0) << host.Log();

  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  const std::vector<std::string> lines = Lines(text.str());
  ASSERT_GT(lines.size(), 9u) << text.str();
  EXPECT_EQ(lines[0], "-- address: " + MysqlUrl());
  EXPECT_EQ(
      std::vector<std::string>(lines.begin() + 1, lines.begin() + 6),
      (std::vector<std::string>{"-- database: " + database, "",
                                "USE " + database + ";", "", "DELIMITER $$"}));
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"$$", "", "DELIMITER ;"}));

  const auto [code, output] =
      RunShell("mariadb --protocol=tcp --host=" + MysqlHost() + " --port=" +
               std::to_string(MysqlPort()) + " --user=" + MysqlUser() +
               " --password=" + MysqlPassword() + " < " + path);
  EXPECT_EQ(code, 0) << output;
  // Four fixed tables (the error log, the reset log, the players' names
  // and metadata, the leaderboard definitions), the period archive's three
  // and seven per leaderboard, and the procedures.
  EXPECT_EQ(probe.Rows("SELECT COUNT(*) FROM information_schema.TABLES "
                       "WHERE TABLE_SCHEMA = '" +
                       database + "'"),
            (std::vector<std::vector<std::string>>{{"21"}}));
  EXPECT_EQ(probe.Rows("SELECT COUNT(*) FROM information_schema.ROUTINES "
                       "WHERE ROUTINE_SCHEMA = '" +
                       database +
                       "' AND ROUTINE_NAME IN ('sp_score_submission', "
                       "'sp_bulk_score_submission', 'sp_score_deletion', "
                       "'sp_reset_table_monthly')"),
            (std::vector<std::vector<std::string>>{{"4"}}));
  boost::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace plemox_test
