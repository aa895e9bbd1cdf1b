#include "client/game_key.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>

namespace plemox {
namespace {

constexpr std::size_t kRandomBytes = 32;
constexpr std::size_t kMaxKeyFileBytes = 4096;

bool IsField(const std::string& text) {
  return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return c == '#' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
  });
}

bool AreRights(const std::string& rights) {
  std::istringstream names(rights);
  std::string name;
  int count = 0;
  while (std::getline(names, name, ',')) {
    if (name != "submit" && name != "query" && name != "delete" &&
        name != "reset" && name != "all") {
      return false;
    }
    ++count;
  }
  return count > 0 && rights.back() != ',';
}

}  // namespace

bool GameKey::Generate(const std::string& app_id, const std::string& key_id,
                       const std::string& rights, std::string* key,
                       std::string* line, std::string* error) {
  if (!IsField(app_id) || !IsField(key_id)) {
    *error = "the app id and the key id must be non-empty, without blanks or #";
    return false;
  }
  if (!AreRights(rights)) {
    *error =
        "rights must be a comma-separated list of submit, query, delete, "
        "reset, all";
    return false;
  }
  std::array<unsigned char, kRandomBytes> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
    *error = "the random generator failed";
    return false;
  }
  // Base64 of 32 bytes is 44 characters with one "=" of padding.
  std::array<unsigned char, 4 * ((kRandomBytes + 2) / 3) + 1> text{};
  EVP_EncodeBlock(text.data(), random.data(), static_cast<int>(random.size()));
  std::string encoded(reinterpret_cast<const char*>(text.data()));
  encoded.erase(std::remove(encoded.begin(), encoded.end(), '='),
                encoded.end());
  std::replace(encoded.begin(), encoded.end(), '+', '-');
  std::replace(encoded.begin(), encoded.end(), '/', '_');
  *key = "plk_" + encoded;
  *line = app_id + " " + key_id + " " + Sha256Hex(*key) + " " + rights;
  return true;
}

std::string GameKey::Sha256Hex(const std::string& key) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(),
         digest.data());
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

bool GameKey::ReadFile(const std::string& path, std::string* key,
                       std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the key file " + path;
    return false;
  }
  std::string content(kMaxKeyFileBytes + 1, '\0');
  in.read(&content[0], static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  if (content.size() > kMaxKeyFileBytes) {
    *error = "the key file " + path + " is too large for a key";
    return false;
  }
  if (!content.empty() && content.back() == '\n') content.pop_back();
  if (!content.empty() && content.back() == '\r') content.pop_back();
  if (content.empty() || content.find('\n') != std::string::npos) {
    *error = "the key file " + path + " must hold one key on one line";
    return false;
  }
  *key = content;
  return true;
}

}  // namespace plemox
