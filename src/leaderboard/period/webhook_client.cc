// WebhookClient over libcurl (easy interface, one handle per attempt) and
// OpenSSL's HMAC.
#include "leaderboard/period/webhook_client.h"

#include <curl/curl.h>
#include <glog/logging.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace plemox {
namespace {

// Bytes of the receiver's answer kept for the error text.
constexpr std::size_t kKeptAnswerBytes = 200;

std::size_t KeepAnswerStart(char* data, std::size_t size, std::size_t count,
                            void* user) {
  auto* answer = static_cast<std::string*>(user);
  const std::size_t bytes = size * count;
  if (answer->size() < kKeptAnswerBytes) {
    answer->append(data, std::min(bytes, kKeptAnswerBytes - answer->size()));
  }
  return bytes;
}

// The answer's start as one printable line.
std::string Printable(const std::string& text) {
  std::string line;
  for (const char c : text) {
    line += std::isprint(static_cast<unsigned char>(c)) ? c : ' ';
  }
  return line;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

bool WebhookClient::GlobalInitialize() {
  const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    LOG(ERROR) << "Failed to initialise libcurl: " << curl_easy_strerror(code);
    return false;
  }
  return true;
}

bool WebhookClient::IsSupportedUrl(const std::string& url) {
  for (const char* scheme : {"http://", "https://"}) {
    const std::string prefix = scheme;
    if (url.size() > prefix.size() &&
        url.compare(0, prefix.size(), prefix) == 0 &&
        url[prefix.size()] != '/') {
      return url.find_first_of(" \t\r\n") == std::string::npos;
    }
  }
  return false;
}

std::string WebhookClient::Sign(const std::string& body,
                                const std::string& secret) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest,
       &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string signature = "sha256=";
  for (unsigned int i = 0; i < length; ++i) {
    signature += kHex[digest[i] >> 4];
    signature += kHex[digest[i] & 0xF];
  }
  return signature;
}

WebhookClient::Outcome WebhookClient::Post(const std::string& url,
                                           const std::string& body,
                                           const std::string& idempotency_key,
                                           const std::string& secret,
                                           std::int64_t connect_timeout_ms,
                                           std::int64_t timeout_ms) {
  Outcome outcome;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    outcome.error = "libcurl could not create a handle";
    return outcome;
  }
  std::unique_ptr<curl_slist, HeaderListDeleter> headers;
  const auto add_header = [&headers](const std::string& header) {
    curl_slist* list = curl_slist_append(headers.get(), header.c_str());
    if (list) {
      headers.release();
      headers.reset(list);
    }
  };
  add_header("Content-Type: application/json");
  add_header(std::string(kIdempotencyKeyHeader) + ": " + idempotency_key);
  if (!secret.empty()) {
    add_header(std::string(kSignatureHeader) + ": " + Sign(body, secret));
  }
  // No "Expect: 100-continue" round trip for larger documents.
  add_header("Expect:");

  std::string answer;
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "plemox-leaderboard");
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(connect_timeout_ms));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &KeepAnswerStart);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);

  const CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    outcome.error = curl_easy_strerror(code);
    return outcome;
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.status);
  if (outcome.status >= 200 && outcome.status < 300) {
    outcome.delivered = true;
    return outcome;
  }
  outcome.error = "HTTP " + std::to_string(outcome.status);
  if (!answer.empty()) outcome.error += ": " + Printable(answer);
  return outcome;
}

}  // namespace plemox
