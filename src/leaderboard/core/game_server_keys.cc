#include "leaderboard/core/game_server_keys.h"

#include <glog/logging.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/protected_file.h"

namespace plemox {
namespace {

struct RightNameEntry {
  const char* name;
  std::uint32_t bits;
};
constexpr RightNameEntry kRightNames[] = {
    {"submit", GameServerKeys::kSubmit},
    {"query", GameServerKeys::kQuery},
    {"delete", GameServerKeys::kDelete},
    {"reset", GameServerKeys::kReset},
};

using KeySet = std::vector<GameServerKeys::Entry>;

std::mutex the_keys_mutex;
// Null while no keys file was loaded; replaced whole by Load.
std::shared_ptr<const KeySet> the_keys;  // GUARDED_BY(the_keys_mutex)

std::shared_ptr<const KeySet> CurrentKeys() {
  std::lock_guard<std::mutex> lock(the_keys_mutex);
  return the_keys;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHash(const std::string& text, std::array<std::uint8_t, 32>* hash) {
  if (text.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*hash)[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

bool ParseRights(const std::string& text, std::uint32_t* rights,
                 std::string* bad) {
  *rights = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, comma - start);
    std::uint32_t bits = 0;
    if (name == "all") bits = GameServerKeys::kAllRights;
    for (const auto& entry : kRightNames) {
      if (name == entry.name) bits = entry.bits;
    }
    if (bits == 0) {
      *bad = name;
      return false;
    }
    *rights |= bits;
    start = comma + 1;
  }
  return true;
}

std::array<std::uint8_t, 32> Sha256(const std::string& text) {
  std::array<std::uint8_t, 32> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
         digest.data());
  return digest;
}

}  // namespace

bool GameServerKeys::Parse(const std::string& text, std::vector<Entry>* entries,
                           std::string* error) {
  std::vector<Entry> parsed;
  std::set<std::pair<std::string, std::string>> key_ids;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.empty()) continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (words.size() != 4) {
      *error = where +
               "expected 4 fields (app id, key id, SHA-256 of the key, "
               "rights), found " +
               std::to_string(words.size());
      return false;
    }
    Entry entry;
    entry.app_id = words[0];
    entry.key_id = words[1];
    if (!ParseHash(words[2], &entry.key_sha256)) {
      *error = where +
               "the third field is not a SHA-256 in lower-case hex (64 "
               "characters 0-9a-f)";
      return false;
    }
    std::string bad;
    if (!ParseRights(words[3], &entry.rights, &bad)) {
      *error = where + "unknown right \"" + bad +
               "\" (rights: submit, query, delete, reset, all)";
      return false;
    }
    if (!key_ids.emplace(entry.app_id, entry.key_id).second) {
      *error = where + "the key id " + entry.key_id +
               " is given twice for the app id " + entry.app_id;
      return false;
    }
    parsed.push_back(std::move(entry));
  }
  *entries = std::move(parsed);
  return true;
}

bool GameServerKeys::ReadFile(const std::string& path,
                              std::vector<Entry>* entries, std::string* error) {
  std::string content;
  if (!ProtectedFile::Read(path, kMaxFileBytes, &content, error)) return false;
  if (!Parse(content, entries, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool GameServerKeys::Load(const std::string& path, std::size_t* count,
                          std::string* error) {
  auto keys = std::make_shared<KeySet>();
  if (!ReadFile(path, keys.get(), error)) return false;
  *count = keys->size();
  std::lock_guard<std::mutex> lock(the_keys_mutex);
  the_keys = std::move(keys);
  return true;
}

void GameServerKeys::Reload() {
  if (FLAGS_game_server_keys_file.empty()) return;
  std::size_t count = 0;
  std::string error;
  if (Load(FLAGS_game_server_keys_file, &count, &error)) {
    LOG(INFO) << "Game server keys read again: keys=" << count
              << ", file=" << FLAGS_game_server_keys_file
              << "; connections already authenticated keep their rights "
                 "until they reconnect";
  } else {
    LOG(ERROR) << "Game server keys not read again, the previous keys stay: "
               << error;
  }
}

bool GameServerKeys::Enabled() { return CurrentKeys() != nullptr; }

bool GameServerKeys::Check(const std::string& app_id, const std::string& key,
                           std::uint32_t* rights, std::string* key_id) {
  const auto keys = CurrentKeys();
  if (!keys || key.empty() || key.size() > kMaxKeyBytes) return false;
  const auto digest = Sha256(key);
  const Entry* found = nullptr;
  for (const Entry& entry : *keys) {
    // Every entry is compared whole, so that the time taken says nothing
    // about which entry matched or how much of a hash did.
    const bool same_key = CRYPTO_memcmp(digest.data(), entry.key_sha256.data(),
                                        digest.size()) == 0;
    const bool same_app = entry.app_id == app_id;
    if (same_key && same_app && found == nullptr) found = &entry;
  }
  if (found == nullptr) return false;
  *rights = found->rights;
  *key_id = found->key_id;
  return true;
}

std::string GameServerKeys::RightsText(std::uint32_t rights) {
  if ((rights & kAllRights) == kAllRights) return "all";
  std::string text;
  for (const auto& entry : kRightNames) {
    if ((rights & entry.bits) == 0) continue;
    if (!text.empty()) text += ",";
    text += entry.name;
  }
  return text.empty() ? "none" : text;
}

const char* GameServerKeys::RightName(Right right) {
  for (const auto& entry : kRightNames) {
    if (entry.bits == right) return entry.name;
  }
  return "all";
}

void GameServerKeys::Clear() {
  std::lock_guard<std::mutex> lock(the_keys_mutex);
  the_keys.reset();
}

}  // namespace plemox
