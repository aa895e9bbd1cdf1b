// Which app id a game server's client certificate may authenticate as
// (--server_tls_client_subjects_file, with mutual TLS on the game port): per
// certificate subject one app id. The file's text form, its checks, and the
// process-wide mapping that authentication consults and SIGHUP replaces.
//
// A subject is the whole subject name of the verified client certificate in
// RFC 2253 form, as `openssl x509 -noout -subject -nameopt RFC2253` prints
// it after "subject=" (for example "CN=game-eu-1,O=Example Games"), and is
// compared byte for byte.
//
// Threads: every function may be called from any thread; Load replaces the
// mapping atomically, so a lookup sees either the old mapping or the new
// one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plemox {

class ClientCertificateSubjects {
 public:
  // Largest mapping file read.
  static constexpr std::size_t kMaxFileBytes = 1u << 20;
  // Longest subject accepted in the file; a certificate's longer subject
  // matches nothing.
  static constexpr std::size_t kMaxSubjectBytes = 4096;

  // One line of the file.
  struct Entry {
    std::string app_id;
    std::string subject;
  };

  // Parses the text of a mapping file: per line the app id, blanks, then
  // the subject up to the end of the line (it may hold blanks; blanks
  // around it are dropped). A line whose first character other than a
  // blank is "#" is a comment, blank lines are skipped; "#" elsewhere
  // belongs to the subject. Returns false with *error naming the line on a
  // line without a subject, a subject without "=" (not RFC 2253 form), one
  // over kMaxSubjectBytes, or a subject given twice (one certificate, one
  // app id); *entries is then unchanged. One app id may have several
  // subjects.
  static bool Parse(const std::string& text, std::vector<Entry>* entries,
                    std::string* error);

  // Reads and parses the file at `path`, with the checks of a keys file
  // (ProtectedFile: regular, no more open than 0640, at most
  // kMaxFileBytes).
  static bool ReadFile(const std::string& path, std::vector<Entry>* entries,
                       std::string* error);

  // Makes the mapping of `path` the process-wide one. On failure the
  // previous mapping stays and *error says why. *count gets the number of
  // subjects.
  static bool Load(const std::string& path, std::size_t* count,
                   std::string* error);
  // Reads --server_tls_client_subjects_file again (SIGHUP); logs the
  // outcome. A file that fails keeps the previous mapping. Nothing happens
  // without the flag.
  static void Reload();

  // Whether authentication consults the mapping (a file was loaded).
  static bool Enabled();

  // The app id `subject` maps to, in *app_id; false when the mapping has no
  // such subject or none was loaded.
  static bool AppIdOf(const std::string& subject, std::string* app_id);

  // Forgets the mapping (tests; uninstall).
  static void Clear();

  ClientCertificateSubjects() = delete;
};

}  // namespace plemox
