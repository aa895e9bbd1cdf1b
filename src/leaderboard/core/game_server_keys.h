// The keys game servers authenticate with (--game_server_keys_file): per
// app id one or more keys, each known only by its SHA-256, each with the
// rights it grants. The file's text form, its checks, and the process-wide
// set of keys that authentication consults and SIGHUP replaces.
//
// Threads: every function may be called from any thread; Load replaces the
// keys atomically, so a check sees either the old set or the new one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace plemox {

class GameServerKeys {
 public:
  // Rights of a key, as bits; a request type needs one of them.
  enum Right : std::uint32_t {
    kSubmit = 1u << 0,
    kQuery = 1u << 1,
    kDelete = 1u << 2,
    kReset = 1u << 3,
    kAllRights = kSubmit | kQuery | kDelete | kReset,
  };

  // Longest key accepted; a longer one is refused without being hashed.
  static constexpr std::size_t kMaxKeyBytes = 256;
  // Largest keys file read.
  static constexpr std::size_t kMaxFileBytes = 1u << 20;

  // One line of the file.
  struct Entry {
    std::string app_id;
    std::string key_id;
    std::array<std::uint8_t, 32> key_sha256{};
    std::uint32_t rights = 0;
  };

  // Parses the text of a keys file: per line the app id, the key id, the
  // key's SHA-256 in lower-case hex and the rights (comma-separated out of
  // submit, query, delete, reset, all), separated by blanks; "#" starts a
  // comment, blank lines are skipped. Returns false with *error naming the
  // line (never a hash) on a bad line, an unknown right or a key id given
  // twice for one app id; *entries is then unchanged.
  static bool Parse(const std::string& text, std::vector<Entry>* entries,
                    std::string* error);

  // Reads and parses the file at `path`. Also refuses a file whose mode
  // grants more than 0640 (owner read/write, group read), one that is not a
  // regular file, or one over kMaxFileBytes.
  static bool ReadFile(const std::string& path, std::vector<Entry>* entries,
                       std::string* error);

  // Makes the keys of `path` the process-wide set. On failure the previous
  // set stays and *error says why. *count gets the number of keys.
  static bool Load(const std::string& path, std::size_t* count,
                   std::string* error);
  // Reads --game_server_keys_file again (SIGHUP); logs the outcome. A file
  // that fails keeps the previous keys. Nothing happens without the flag.
  static void Reload();

  // Whether authentication needs a key (a keys file was loaded).
  static bool Enabled();

  // Whether `key` is a key of `app_id` in the set. On success *rights and
  // *key_id are set. The cost does not depend on which app id or key
  // matched or where they differ: every entry is compared, in constant
  // time. An empty or over-long key never matches.
  static bool Check(const std::string& app_id, const std::string& key,
                    std::uint32_t* rights, std::string* key_id);

  // "submit,query", or "all" for every right, or "none".
  static std::string RightsText(std::uint32_t rights);
  // The name of one right ("submit"...).
  static const char* RightName(Right right);

  // Forgets the set (tests; uninstall).
  static void Clear();

  GameServerKeys() = delete;
};

}  // namespace plemox
