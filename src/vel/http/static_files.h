// Serves a fixed set of files (a web page's HTML, CSS and JavaScript, built
// into the program) under one path prefix of the API service, open to
// everyone: such a page holds no data, it fetches it from token-protected
// routes. Answers carry the content type of the file's extension, an ETag
// with revalidation on every load (so a new build's page is never mixed with
// an old one's script) and headers that keep other sites from framing the
// page or sniffing types. Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace vel {

class StaticFiles {
 public:
  struct File {
    // The file's name below the prefix ("index.html", "app.js"); letters,
    // digits, '.', '-' and '_' only.
    std::string name;
    std::string content;
  };

  // Registers GET routes for `prefix` ("/console/"): prefix + name serves
  // that file, the prefix itself serves "index.html", and the prefix without
  // its last '/' redirects to it. Other names under the prefix answer 404.
  // A request whose If-None-Match names the file's ETag gets 304.
  // REQUIRES: prefix starts and ends with '/'.
  static void Register(const std::string& prefix, std::vector<File> files);

  // "text/html; charset=utf-8" and so on by the extension of `name`;
  // "application/octet-stream" for one it does not know.
  static std::string ContentType(const std::string& name);

  StaticFiles() = delete;
};

}  // namespace vel
