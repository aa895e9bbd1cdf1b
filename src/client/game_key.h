// A game server's secret key on the client side: making a new one with the
// line of the server's keys file that admits it, and reading one from a
// file. Stateless; any thread.
#pragma once

#include <string>

namespace plemox {

class GameKey {
 public:
  // A new key of 32 random bytes (OpenSSL's generator) in URL-safe base64,
  // prefixed "plk_", and its keys-file line: "APP KEY_ID SHA256 RIGHTS".
  // Returns false with *error when `app_id` or `key_id` is empty or holds a
  // blank or "#", or `rights` is not a comma-separated list of submit,
  // query, delete, reset, all.
  static bool Generate(const std::string& app_id, const std::string& key_id,
                       const std::string& rights, std::string* key,
                       std::string* line, std::string* error);

  // The SHA-256 of `key` in lower-case hex, as the keys file holds it.
  static std::string Sha256Hex(const std::string& key);

  // The key stored in the file at `path` (one line; a trailing newline is
  // dropped). Returns false with *error naming the file, never the key.
  static bool ReadFile(const std::string& path, std::string* key,
                       std::string* error);

  GameKey() = delete;
};

}  // namespace plemox
