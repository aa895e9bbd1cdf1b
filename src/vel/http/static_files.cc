#include "vel/http/static_files.h"

#include <glog/logging.h>

#include <boost/regex.hpp>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>

#include "vel/http/api_service.h"

namespace vel {
namespace {

struct Served {
  std::string content_type;
  std::string etag;
  std::string content;
};
using FileMap = std::map<std::string, Served>;

// FNV-1a over the content: enough to tell one build's file from another's.
std::string MakeEtag(const std::string& content) {
  std::uint64_t hash = 1469598103934665603ULL;
  for (const char c : content) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  char text[24];
  std::snprintf(text, sizeof(text), "\"%016llx\"",
                static_cast<unsigned long long>(hash));
  return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string QuoteRegex(const std::string& text) {
  static const boost::regex kSpecial(R"([.^$|()\[\]{}*+?\\])");
  return boost::regex_replace(text, kSpecial, R"(\\$&)",
                              boost::match_default | boost::format_perl);
}

bool ServeFile(const std::shared_ptr<const FileMap>& files,
               ApiService::Response* response,
               const ApiService::Request& request,
               const ApiService::Match& match) {
  const std::string name =
      match["name"].length() == 0 ? "index.html" : std::string(match["name"]);
  const auto it = files->find(name);
  if (it == files->end()) return false;  // the service answers 404
  const Served& file = it->second;
  response->headers["ETag"] = file.etag;
  response->headers["Cache-Control"] = "no-cache";
  response->headers["X-Content-Type-Options"] = "nosniff";
  response->headers["X-Frame-Options"] = "DENY";
  response->headers["Referrer-Policy"] = "no-referrer";
  response->headers["Content-Security-Policy"] =
      "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
      "base-uri 'none'; form-action 'none'";
  if (request.Header("If-None-Match") == file.etag) {
    response->status = 304;
    return true;
  }
  response->status = 200;
  response->headers["Content-Type"] = file.content_type;
  response->body = file.content;
  return true;
}

}  // namespace

std::string StaticFiles::ContentType(const std::string& name) {
  static const std::map<std::string, std::string> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
  };
  for (const auto& [extension, type] : kTypes) {
    if (EndsWith(name, extension)) return type;
  }
  return "application/octet-stream";
}

void StaticFiles::Register(const std::string& prefix, std::vector<File> files) {
  if (prefix.size() < 2 || prefix.front() != '/' || prefix.back() != '/') {
    LOG(ERROR) << "Static files not served: bad prefix '" << prefix << "'";
    return;
  }
  auto map = std::make_shared<FileMap>();
  for (auto& file : files) {
    Served served;
    served.content_type = ContentType(file.name);
    served.etag = MakeEtag(file.content);
    served.content = std::move(file.content);
    (*map)[file.name] = std::move(served);
  }
  const std::string quoted = QuoteRegex(prefix);
  const std::shared_ptr<const FileMap> served = std::move(map);
  ApiService::RegisterHandler(
      ApiService::kGet,
      boost::regex(quoted + R"((?<name>[A-Za-z0-9_\-]+(\.[A-Za-z0-9_\-]+)*)?)"),
      [served](ApiService::Response* response,
               const ApiService::Request& request,
               const ApiService::Match& match) {
        return ServeFile(served, response, request, match);
      },
      ApiService::Access::kOpen);
  const std::string bare = prefix.substr(0, prefix.size() - 1);
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex(QuoteRegex(bare)),
      [prefix](ApiService::Response* response,
               const ApiService::Request& /*request*/,
               const ApiService::Match& /*match*/) {
        response->status = 301;
        response->headers["Location"] = prefix;
        response->headers["Content-Type"] = "text/plain; charset=utf-8";
        response->body = "moved to " + prefix + "\n";
        return true;
      },
      ApiService::Access::kOpen);
}

}  // namespace vel
