// The client certificate subjects file: its lines, its refusals, the file
// checks it shares with the keys file, and the mapping a load replaces.
#include "leaderboard/core/client_certificate_subjects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_file.h"

namespace plemox {
namespace {

using SubjectEntries = std::vector<ClientCertificateSubjects::Entry>;

// A mapping file in a fresh temporary directory, removed at the end with
// the mapping it loaded.
class TempSubjectsFile : public plemox_test::TempFile {
 public:
  TempSubjectsFile() : TempFile("subjects") {}
  ~TempSubjectsFile() { ClientCertificateSubjects::Clear(); }
};

TEST(ClientCertificateSubjectsTest, ParsesSubjectsWithBlanksAndHashes) {
  SubjectEntries entries;
  std::string error;
  ASSERT_TRUE(ClientCertificateSubjects::Parse(
      "# app id  subject\n"
      "\n"
      "game CN=game-eu-1,O=Example Games\n"
      "  game\t CN=game-us-1,O=Example Games  \r\n"
      "   # an indented comment\n"
      "web CN=web #2,O=Example\n",
      &entries, &error))
      << error;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].app_id, "game");
  EXPECT_EQ(entries[0].subject, "CN=game-eu-1,O=Example Games");
  // Blanks around the subject go; the carriage return of a CRLF file too.
  EXPECT_EQ(entries[1].subject, "CN=game-us-1,O=Example Games");
  // "#" inside a subject is part of it, not a comment.
  EXPECT_EQ(entries[2].app_id, "web");
  EXPECT_EQ(entries[2].subject, "CN=web #2,O=Example");
}

TEST(ClientCertificateSubjectsTest, RefusesBadLinesAndKeepsTheEntries) {
  const struct {
    std::string text;
    std::string error_part;
  } cases[] = {
      {"game\n", "line 1: expected an app id and a certificate subject"},
      {"\ngame   \t\n", "line 2: expected an app id"},
      {"game game-eu-1\n",
       "line 1: the subject \"game-eu-1\" is not in "
       "RFC 2253 form"},
      {"game CN=" +
           std::string(ClientCertificateSubjects::kMaxSubjectBytes, 'x') + "\n",
       "line 1: the subject is longer than"},
      {"game CN=a,O=b\nweb  CN=a,O=b\n",
       "line 2: the subject CN=a,O=b is given twice (first on line 1)"},
  };
  for (const auto& c : cases) {
    SubjectEntries entries(1);
    std::string error;
    EXPECT_FALSE(ClientCertificateSubjects::Parse(c.text, &entries, &error))
        << c.text;
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_EQ(entries.size(), 1u);
  }
  // Subjects differing only in case are two certificates.
  SubjectEntries entries;
  std::string error;
  EXPECT_TRUE(
      ClientCertificateSubjects::Parse("a CN=x\nb CN=X\n", &entries, &error))
      << error;
}

TEST(ClientCertificateSubjectsTest, FileChecksAndReloadKeepTheMapping) {
  TempSubjectsFile file;
  std::size_t count = 0;
  std::string error;
  const std::string text = "game CN=game-1\nweb CN=web-1,O=Example\n";
  for (const mode_t mode : {0644, 0660, 0642}) {
    EXPECT_FALSE(
        ClientCertificateSubjects::Load(file.Write(text, mode), &count, &error))
        << std::oct << mode;
    EXPECT_NE(error.find("more open than 0640"), std::string::npos) << error;
  }
  EXPECT_FALSE(ClientCertificateSubjects::Enabled());
  std::string app_id;
  EXPECT_FALSE(ClientCertificateSubjects::AppIdOf("CN=game-1", &app_id));

  ASSERT_TRUE(
      ClientCertificateSubjects::Load(file.Write(text, 0640), &count, &error))
      << error;
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(ClientCertificateSubjects::Enabled());
  ASSERT_TRUE(
      ClientCertificateSubjects::AppIdOf("CN=web-1,O=Example", &app_id));
  EXPECT_EQ(app_id, "web");
  // Compared whole: neither a part nor another order matches.
  EXPECT_FALSE(ClientCertificateSubjects::AppIdOf("CN=web-1", &app_id));
  EXPECT_FALSE(
      ClientCertificateSubjects::AppIdOf("O=Example,CN=web-1", &app_id));
  EXPECT_FALSE(ClientCertificateSubjects::AppIdOf("", &app_id));

  // A file that fails, by its content or its mode, keeps the mapping.
  EXPECT_FALSE(ClientCertificateSubjects::Load(
      file.Write("game CN=game-2\ngame CN=game-2\n", 0640), &count, &error));
  EXPECT_NE(error.find("given twice"), std::string::npos) << error;
  EXPECT_FALSE(ClientCertificateSubjects::Load(
      file.Write("game CN=game-2\n", 0666), &count, &error));
  EXPECT_FALSE(
      ClientCertificateSubjects::Load("/nonexistent/subjects", &count, &error));
  ASSERT_TRUE(ClientCertificateSubjects::AppIdOf("CN=game-1", &app_id));
  EXPECT_EQ(app_id, "game");

  // A good one replaces it whole; an empty one maps nothing but stays on.
  ASSERT_TRUE(ClientCertificateSubjects::Load(
      file.Write("game CN=game-2\n", 0600), &count, &error));
  EXPECT_FALSE(ClientCertificateSubjects::AppIdOf("CN=game-1", &app_id));
  EXPECT_TRUE(ClientCertificateSubjects::AppIdOf("CN=game-2", &app_id));
  ASSERT_TRUE(ClientCertificateSubjects::Load(file.Write("# none\n", 0600),
                                              &count, &error));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(ClientCertificateSubjects::Enabled());
  EXPECT_FALSE(ClientCertificateSubjects::AppIdOf("CN=game-2", &app_id));
}

}  // namespace
}  // namespace plemox
