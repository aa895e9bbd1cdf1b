#include "leaderboard/core/client_certificate_subjects.h"

#include <glog/logging.h>

#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/protected_file.h"

namespace plemox {
namespace {

// Subject to app id.
using SubjectMap = std::map<std::string, std::string>;

constexpr char kBlanks[] = " \t\r";

std::mutex the_subjects_mutex;
// Null while no mapping file was loaded; replaced whole by Load.
std::shared_ptr<const SubjectMap> the_subjects;  // GUARDED_BY(mutex)

std::shared_ptr<const SubjectMap> CurrentSubjects() {
  std::lock_guard<std::mutex> lock(the_subjects_mutex);
  return the_subjects;
}

}  // namespace

bool ClientCertificateSubjects::Parse(const std::string& text,
                                      std::vector<Entry>* entries,
                                      std::string* error) {
  std::vector<Entry> parsed;
  std::map<std::string, int> lines_of_subjects;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string::npos || line[first] == '#') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    const std::size_t app_end = line.find_first_of(kBlanks, first);
    const std::size_t subject_start =
        app_end == std::string::npos ? app_end
                                     : line.find_first_not_of(kBlanks, app_end);
    if (subject_start == std::string::npos) {
      *error = where +
               "expected an app id and a certificate subject, found only "
               "one field";
      return false;
    }
    Entry entry;
    entry.app_id = line.substr(first, app_end - first);
    const std::size_t subject_end = line.find_last_not_of(kBlanks);
    entry.subject = line.substr(subject_start, subject_end + 1 - subject_start);
    if (entry.subject.size() > kMaxSubjectBytes) {
      *error = where + "the subject is longer than " +
               std::to_string(kMaxSubjectBytes) + " bytes";
      return false;
    }
    if (entry.subject.find('=') == std::string::npos) {
      *error = where + "the subject \"" + entry.subject +
               "\" is not in RFC 2253 form (like CN=game-eu-1,O=Example; "
               "`openssl x509 -noout -subject -nameopt RFC2253` prints it)";
      return false;
    }
    const auto seen = lines_of_subjects.emplace(entry.subject, number);
    if (!seen.second) {
      *error = where + "the subject " + entry.subject +
               " is given twice (first on line " +
               std::to_string(seen.first->second) +
               "); a certificate maps to one app id";
      return false;
    }
    parsed.push_back(std::move(entry));
  }
  *entries = std::move(parsed);
  return true;
}

bool ClientCertificateSubjects::ReadFile(const std::string& path,
                                         std::vector<Entry>* entries,
                                         std::string* error) {
  std::string content;
  if (!ProtectedFile::Read(path, kMaxFileBytes, &content, error)) return false;
  if (!Parse(content, entries, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool ClientCertificateSubjects::Load(const std::string& path,
                                     std::size_t* count, std::string* error) {
  std::vector<Entry> entries;
  if (!ReadFile(path, &entries, error)) return false;
  auto subjects = std::make_shared<SubjectMap>();
  // Parse refused every subject given twice.
  for (auto& entry : entries) {
    subjects->emplace(std::move(entry.subject), std::move(entry.app_id));
  }
  *count = subjects->size();
  std::lock_guard<std::mutex> lock(the_subjects_mutex);
  the_subjects = std::move(subjects);
  return true;
}

void ClientCertificateSubjects::Reload() {
  if (FLAGS_server_tls_client_subjects_file.empty()) return;
  std::size_t count = 0;
  std::string error;
  if (Load(FLAGS_server_tls_client_subjects_file, &count, &error)) {
    LOG(INFO) << "Client certificate subjects read again: subjects=" << count
              << ", file=" << FLAGS_server_tls_client_subjects_file
              << "; connections already authenticated stay until they "
                 "reconnect";
  } else {
    LOG(ERROR) << "Client certificate subjects not read again, the previous "
                  "mapping stays: "
               << error;
  }
}

bool ClientCertificateSubjects::Enabled() {
  return CurrentSubjects() != nullptr;
}

bool ClientCertificateSubjects::AppIdOf(const std::string& subject,
                                        std::string* app_id) {
  const auto subjects = CurrentSubjects();
  if (!subjects || subject.empty()) return false;
  const auto found = subjects->find(subject);
  if (found == subjects->end()) return false;
  *app_id = found->second;
  return true;
}

void ClientCertificateSubjects::Clear() {
  std::lock_guard<std::mutex> lock(the_subjects_mutex);
  the_subjects.reset();
}

}  // namespace plemox
