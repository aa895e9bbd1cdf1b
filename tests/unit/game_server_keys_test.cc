// The keys file (its lines, its checks, its mode), the key check, the keys
// the client tool makes, and the table of failed authentications per
// address.
#include "leaderboard/core/game_server_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "client/game_key.h"
#include "leaderboard/service/failed_authentications.h"
#include "support/temp_file.h"

namespace plemox {
namespace {

using KeyEntries = std::vector<GameServerKeys::Entry>;

std::string KeysFileLine(const std::string& app, const std::string& id,
                         const std::string& key, const std::string& rights) {
  return app + " " + id + " " + GameKey::Sha256Hex(key) + " " + rights + "\n";
}

// A keys file in a fresh temporary directory, removed at the end.
class TempKeysFile : public plemox_test::TempFile {
 public:
  TempKeysFile() : TempFile("keys") {}
};

TEST(GameServerKeysTest, ParsesLinesCommentsAndRights) {
  KeyEntries entries;
  std::string error;
  const std::string text =
      "# app key-id sha256 rights\n\n" +
      KeysFileLine("web", "k1", "secret-a", "query") + "  " +
      KeysFileLine("game", "k1", "secret-b", "all") +
      KeysFileLine("game", "k2", "secret-c", "submit,delete") + "# the end\n";
  ASSERT_TRUE(GameServerKeys::Parse(text, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].app_id, "web");
  EXPECT_EQ(entries[0].rights, GameServerKeys::kQuery);
  EXPECT_EQ(entries[1].rights, GameServerKeys::kAllRights);
  EXPECT_EQ(entries[2].key_id, "k2");
  EXPECT_EQ(GameServerKeys::RightsText(entries[2].rights), "submit,delete");
}

TEST(GameServerKeysTest, RefusesBadLinesAndKeepsTheEntries) {
  const std::string hash = GameKey::Sha256Hex("k");
  std::string upper = hash;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  const struct {
    std::string text;
    std::string error_part;
  } cases[] = {
      {"game k1 " + hash + "\n", "line 1: expected 4 fields"},
      {"game k1 " + hash + " all extra\n", "expected 4 fields"},
      {"\ngame k1 " + upper + " all\n", "line 2: the third field"},
      {"game k1 " + hash.substr(2) + " all\n", "third field"},
      {"game k1 " + hash + " submit,admin\n", "unknown right \"admin\""},
      {"game k1 " + hash + " submit,\n", "unknown right \"\""},
      {KeysFileLine("game", "k1", "a", "all") +
           KeysFileLine("game", "k1", "b", "query"),
       "line 2: the key id k1 is given twice"},
  };
  for (const auto& c : cases) {
    KeyEntries entries(1);
    std::string error;
    EXPECT_FALSE(GameServerKeys::Parse(c.text, &entries, &error)) << c.text;
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_EQ(error.find(hash), std::string::npos) << error;
    EXPECT_EQ(entries.size(), 1u);
  }
  // The same key id under two apps is two keys.
  KeyEntries entries;
  std::string error;
  EXPECT_TRUE(GameServerKeys::Parse(
      KeysFileLine("a", "k1", "x", "all") + KeysFileLine("b", "k1", "y", "all"),
      &entries, &error));
}

TEST(GameServerKeysTest, FileModeMoreOpenThan0640IsRefused) {
  TempKeysFile file;
  const std::string text = KeysFileLine("game", "k1", "secret", "all");
  std::size_t count = 0;
  std::string error;
  for (const mode_t mode : {0644, 0660, 0740, 0641}) {
    EXPECT_FALSE(GameServerKeys::Load(file.Write(text, mode), &count, &error))
        << std::oct << mode;
    EXPECT_NE(error.find("more open than 0640"), std::string::npos) << error;
  }
  EXPECT_FALSE(GameServerKeys::Enabled());
  for (const mode_t mode : {0640, 0600, 0400}) {
    EXPECT_TRUE(GameServerKeys::Load(file.Write(text, mode), &count, &error))
        << error;
  }
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(GameServerKeys::Load("/nonexistent/keys", &count, &error));
  GameServerKeys::Clear();
}

TEST(GameServerKeysTest, CheckMatchesOnlyTheAppsOwnKeys) {
  TempKeysFile file;
  std::size_t count = 0;
  std::string error;
  ASSERT_TRUE(GameServerKeys::Load(
      file.Write(KeysFileLine("web", "w1", "key-of-web", "query") +
                     KeysFileLine("game", "old", "old-key", "all") +
                     KeysFileLine("game", "new", "new-key", "submit,query"),
                 0640),
      &count, &error))
      << error;
  std::uint32_t rights = 0;
  std::string key_id;
  EXPECT_TRUE(GameServerKeys::Check("game", "new-key", &rights, &key_id));
  EXPECT_EQ(key_id, "new");
  EXPECT_EQ(rights, GameServerKeys::kSubmit | GameServerKeys::kQuery);
  EXPECT_TRUE(GameServerKeys::Check("game", "old-key", &rights, &key_id));
  EXPECT_EQ(key_id, "old");
  EXPECT_FALSE(GameServerKeys::Check("game", "key-of-web", &rights, &key_id));
  EXPECT_FALSE(GameServerKeys::Check("web", "old-key", &rights, &key_id));
  EXPECT_FALSE(GameServerKeys::Check("game", "", &rights, &key_id));
  EXPECT_FALSE(GameServerKeys::Check("game", "new-ke", &rights, &key_id));
  EXPECT_FALSE(GameServerKeys::Check("nobody", "new-key", &rights, &key_id));
  EXPECT_FALSE(GameServerKeys::Check(
      "game", std::string(GameServerKeys::kMaxKeyBytes + 1, 'k'), &rights,
      &key_id));

  // A file that fails keeps the keys that were loaded.
  EXPECT_FALSE(GameServerKeys::Load(
      file.Write(KeysFileLine("game", "new", "new-key", "sudo"), 0640), &count,
      &error));
  EXPECT_TRUE(GameServerKeys::Check("game", "old-key", &rights, &key_id));
  GameServerKeys::Clear();
  EXPECT_FALSE(GameServerKeys::Check("game", "old-key", &rights, &key_id));
}

TEST(GameKeyTest, GeneratedKeysAreDistinctAndTheirLinesParse) {
  std::string key;
  std::string other;
  std::string line;
  std::string error;
  ASSERT_TRUE(
      GameKey::Generate("game", "k1", "submit,query", &other, &line, &error));
  ASSERT_TRUE(
      GameKey::Generate("game", "k1", "submit,query", &key, &line, &error));
  EXPECT_NE(key, other);
  // 32 random bytes in base64 without padding, after the prefix.
  EXPECT_EQ(key.size(), 4u + 43u);
  EXPECT_EQ(key.find_first_of(" #=+/"), std::string::npos) << key;
  KeyEntries entries;
  ASSERT_TRUE(GameServerKeys::Parse(line, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(line.find(key), std::string::npos);
  TempKeysFile file;
  std::size_t count = 0;
  ASSERT_TRUE(
      GameServerKeys::Load(file.Write(line + "\n", 0600), &count, &error));
  std::uint32_t rights = 0;
  std::string key_id;
  EXPECT_TRUE(GameServerKeys::Check("game", key, &rights, &key_id));
  EXPECT_EQ(GameServerKeys::RightsText(rights), "submit,query");
  GameServerKeys::Clear();

  for (const auto& [app, id, rights_text] :
       {std::make_tuple("", "k", "all"), std::make_tuple("a b", "k", "all"),
        std::make_tuple("a", "k#1", "all"), std::make_tuple("a", "k", ""),
        std::make_tuple("a", "k", "submit,"),
        std::make_tuple("a", "k", "root")}) {
    EXPECT_FALSE(GameKey::Generate(app, id, rights_text, &key, &line, &error))
        << app << "|" << id << "|" << rights_text;
  }
}

TEST(FailedAuthenticationsTest, PastTheLimitTheAddressWaits) {
  using Clock = FailedAuthentications::Clock;
  FailedAuthentications table(3, std::chrono::seconds(60), 100);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(table.CountFailure("10.0.0.1", start));
  }
  EXPECT_FALSE(table.IsWaiting("10.0.0.1", start));
  EXPECT_TRUE(table.CountFailure("10.0.0.1", start + std::chrono::seconds(1)));
  EXPECT_TRUE(table.IsWaiting("10.0.0.1", start + std::chrono::seconds(60)));
  EXPECT_FALSE(table.IsWaiting("10.0.0.2", start));
  // After the wait the address starts afresh.
  const Clock::time_point later = start + std::chrono::seconds(62);
  EXPECT_FALSE(table.IsWaiting("10.0.0.1", later));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(table.CountFailure("10.0.0.1", later));
  }
  EXPECT_TRUE(table.CountFailure("10.0.0.1", later));
}

TEST(FailedAuthenticationsTest, FailuresOfAnEarlierMinuteAreForgotten) {
  using Clock = FailedAuthentications::Clock;
  FailedAuthentications table(2, std::chrono::seconds(60), 100);
  Clock::time_point now = Clock::now();
  for (int minute = 0; minute < 5; ++minute) {
    EXPECT_FALSE(table.CountFailure("10.0.0.1", now));
    EXPECT_FALSE(table.CountFailure("10.0.0.1", now));
    now += std::chrono::seconds(61);
  }
  FailedAuthentications unlimited(0, std::chrono::seconds(60), 100);
  for (int i = 0; i < 100; ++i) {
    EXPECT_FALSE(unlimited.CountFailure("10.0.0.1", now));
  }
  EXPECT_EQ(unlimited.size(), 0u);
}

TEST(FailedAuthenticationsTest, TheTableIsBoundedAndKeepsWaitingAddresses) {
  using Clock = FailedAuthentications::Clock;
  FailedAuthentications table(1, std::chrono::seconds(600), 4);
  const Clock::time_point now = Clock::now();
  EXPECT_FALSE(table.CountFailure("waiting", now));
  EXPECT_TRUE(table.CountFailure("waiting", now));
  for (int i = 0; i < 1000; ++i) {
    table.CountFailure("flood-" + std::to_string(i), now);
    EXPECT_LE(table.size(), 4u);
  }
  EXPECT_TRUE(table.IsWaiting("waiting", now + std::chrono::seconds(10)));
}

}  // namespace
}  // namespace plemox
