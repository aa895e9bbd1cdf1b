// docs/protocol.md against the real host: its hex example of an
// authentication exchange must be what the server answers byte for byte, and
// its Python client must authenticate, submit and query, with the effects it
// prints found in the rankings and the database.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>

#include "client/game_key.h"
#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/host_process.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_certificates.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using plemox::QueryBuilder;

std::string ProtocolDocPrefix() {
  return "e2edoc" + std::to_string(getpid()) + "_";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ProtocolDoc() {
  const std::string doc = ReadFile(SourceDir() + "/docs/protocol.md");
  EXPECT_FALSE(doc.empty()) << "docs/protocol.md is missing";
  return doc;
}

// The fenced block that follows the marker "<!-- protocol-doc-test: NAME -->"
// in `doc`, without its fence lines; nullopt when there is none.
std::optional<std::string> MarkedBlock(const std::string& doc,
                                       const std::string& name) {
  const std::string marker = "<!-- protocol-doc-test: " + name + " -->";
  const std::size_t at = doc.find(marker);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t fence = doc.find("```", at + marker.size());
  if (fence == std::string::npos) return std::nullopt;
  const std::size_t begin = doc.find('\n', fence);
  if (begin == std::string::npos) return std::nullopt;
  const std::size_t end = doc.find("\n```", begin);
  if (end == std::string::npos) return std::nullopt;
  return doc.substr(begin + 1, end - begin);
}

// The bytes a hex block spells: two-digit hex tokens, everything after '#'
// on a line being a comment. A token of another form fails the test.
std::string HexBytes(const std::string& block) {
  std::string bytes;
  std::istringstream lines(block);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream tokens(line.substr(0, line.find('#')));
    std::string token;
    while (tokens >> token) {
      const bool hex = token.size() == 2 &&
                       std::isxdigit(static_cast<unsigned char>(token[0])) &&
                       std::isxdigit(static_cast<unsigned char>(token[1]));
      EXPECT_TRUE(hex) << "not a hex byte: '" << token << "' in: " << line;
      if (hex)
        bytes.push_back(static_cast<char>(std::stoi(token, nullptr, 16)));
    }
  }
  return bytes;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

// The body length a frame's 4-byte big-endian header announces.
// REQUIRES: frame.size() >= 4.
std::size_t FrameLength(const std::string& frame) {
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length = (length << 8) | static_cast<unsigned char>(frame[i]);
  }
  return length;
}

// The manifest arguments of config/example.manifest.json (the server the
// doc's examples talk to), with `extra_id` added to its leaderboards when
// not empty, as the members of a JSON object.
std::string ExampleArguments(const std::string& extra_id) {
  auto manifest = nlohmann::json::parse(
      ReadFile(SourceDir() + "/config/example.manifest.json"));
  nlohmann::json arguments = manifest.at("arguments");
  if (!extra_id.empty()) arguments["leaderboard_ids"].push_back(extra_id);
  const std::string text = arguments.dump();
  return text.substr(1, text.size() - 2);
}

// A plain TCP connection to the host's game port, for sending exact bytes.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    // Every read waits at most this long: a missing answer fails the test.
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address),
                         sizeof(address)) == 0;
  }
  ~RawConnection() { close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }

  bool Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // One whole frame, header included; what arrived when the connection
  // ended or the read timed out first.
  std::string ReadFrame() {
    std::string frame = Read(4);
    if (frame.size() < 4) return frame;
    return frame + Read(FrameLength(frame));
  }

 private:
  std::string Read(std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = recv(fd_, &bytes[done], size - done, 0);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
  }

  const int fd_;
  bool connected_ = false;
};

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output and error together
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    result.output.append(buffer, n);
  }
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(ProtocolDocTest, AuthenticationExampleIsWhatTheServerAnswers) {
  const std::string doc = ProtocolDoc();
  const auto request_block = MarkedBlock(doc, "authentication-request");
  const auto answer_block = MarkedBlock(doc, "authentication-answer");
  ASSERT_TRUE(request_block && answer_block)
      << "the marked hex blocks are missing from docs/protocol.md";
  const std::string request = HexBytes(*request_block);
  const std::string answer = HexBytes(*answer_block);
  // Each example is one frame whose header counts its body.
  for (const std::string* frame : {&request, &answer}) {
    ASSERT_GT(frame->size(), 4u);
    EXPECT_EQ(FrameLength(*frame), frame->size() - 4) << Hex(*frame);
  }

  HostProcess host(HostProcess::Options::WithArguments(ExampleArguments("")));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  RawConnection connection(host.tcp_port());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Write(request));
  EXPECT_EQ(Hex(connection.ReadFrame()), Hex(answer)) << host.Log();
  // The line is written after the answer has gone out.
  EXPECT_TRUE(host.WaitForLog(
      "Succeed to authenticate the session: session=my-game-kAuthenticated"));
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0);
}

class ProtocolDocClientTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/plemox_protocol_doc_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    probe_.DeleteKeys("leaderboard:" + ProtocolDocPrefix() + "*");
    probe_.DropTables(ProtocolDocPrefix());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs the doc's client in dir_ with `arguments`, bounded in time.
  CommandResult RunClient(const std::string& arguments) {
    return RunCommand("timeout 60 /usr/bin/python3 '" + dir_ +
                      "/leaderboard_example.py' " + arguments);
  }

  // Writes the doc's client and the classes it needs into dir_.
  void WriteClient() {
    const auto client = MarkedBlock(ProtocolDoc(), "python-client");
    ASSERT_TRUE(client) << "the marked Python client is missing";
    // The doc promises a client of about 60 lines.
    EXPECT_LE(std::count(client->begin(), client->end(), '\n'), 72);
    std::ofstream(dir_ + "/leaderboard_example.py") << *client;
    // The classes generated as the doc says (Debian's protoc and
    // python3-protobuf).
    const CommandResult generated =
        RunCommand("protoc --python_out='" + dir_ + "' -I '" + SourceDir() +
                   "/proto' '" + SourceDir() + "/proto/leaderboard.proto'");
    ASSERT_EQ(generated.exit_code, 0) << generated.output;
  }

  std::string dir_;
  StoreProbe probe_;
};

TEST_F(ProtocolDocClientTest, PythonClientSubmitsAndQueriesTheRealServer) {
  ASSERT_NO_FATAL_FAILURE(WriteClient());

  const std::string board = ProtocolDocPrefix() + "board";
  RunningServer server(
      HostProcess::Options::WithArguments(ExampleArguments(board)),
      "protocol-doc-test");
  const auto account = [](const std::string& id) {
    return QueryBuilder::Account("guest", id);
  };
  for (const auto& [id, score] :
       {std::pair<const char*, double>{"rival1", 3000}, {"rival2", 1000}}) {
    ASSERT_TRUE(server.client()
                    .SubmitScore(board, account(id), score,
                                 Leaderboard::ScoreSubmission::kHighScore)
                    .ok());
  }
  const std::string address =
      "127.0.0.1 " + std::to_string(server.host().tcp_port()) + " ";
  const std::string target = address + board;
  const std::string top =
      "top 10 of 3:\n"
      "1 guest:rival1 3000\n"
      "2 guest:player 2000\n"
      "3 guest:rival2 1000\n";

  const CommandResult first = RunClient(target + " player 2000");
  EXPECT_EQ(first.exit_code, 0) << first.output;
  EXPECT_EQ(first.output,
            "submitted: result=kNewRecord score=2000 rank=2 of 3\n" + top);
  EXPECT_TRUE(
      server.host().WaitForLog("Succeed to authenticate the session: "
                               "session=python-example-kAuthenticated"));
  // A lower high score is no record and leaves the ranking as it was.
  const CommandResult second = RunClient(target + " player 1500");
  EXPECT_EQ(second.exit_code, 0) << second.output;
  EXPECT_EQ(second.output,
            "submitted: result=kNone score=1500 rank=2 of 3\n" + top);
  // A refusal (':' cannot be in a leaderboard id) ends the client with the
  // server's failure.
  const CommandResult refused = RunClient(address + "no:such:board player 1");
  EXPECT_NE(refused.exit_code, 0);
  EXPECT_NE(
      refused.output.find("kFailInvalidParameter: Invalid leaderboard id"),
      std::string::npos)
      << refused.output;

  // What the server kept: the player's all-time entry and its database row.
  const auto own = server.client().Query(
      QueryBuilder::Public(board, Leaderboard::LeaderboardQuery::kAllTime,
                           Leaderboard::LeaderboardQuery::Request::kPosition,
                           QueryBuilder::NearbyRange(0, 0), account("player")));
  ASSERT_TRUE(own.ok()) << own.response.DebugString();
  ASSERT_EQ(own.response.leaderboard_query().record_size(), 1);
  EXPECT_EQ(own.response.leaderboard_query().record(0).rank(), 2);
  EXPECT_DOUBLE_EQ(own.response.leaderboard_query().record(0).score(), 2000);
  std::optional<double> stored;
  EXPECT_TRUE(WaitFor([&] {
    const auto rows = probe_.ScoreRows(board + "_alltime");
    if (!rows || !rows->count("guest:player")) return false;
    stored = rows->at("guest:player").first;
    return true;
  }));
  // The database keeps scores negated.
  EXPECT_EQ(stored, std::optional<double>(-2000));
}

// The same client against a server with game server keys: with the app's
// key from the environment it submits; without it the server refuses it.
TEST_F(ProtocolDocClientTest, PythonClientAuthenticatesWithAKey) {
  ASSERT_NO_FATAL_FAILURE(WriteClient());
  const std::string key = "plk_key-of-the-python-example";
  const std::string keys_path = dir_ + "/game_server_keys";
  std::ofstream(keys_path) << "python "
                           << "py1 " << plemox::GameKey::Sha256Hex(key)
                           << " submit,query\n";
  ASSERT_EQ(chmod(keys_path.c_str(), 0640), 0);
  const std::string board = ProtocolDocPrefix() + "keyed";
  auto options = HostProcess::Options::WithArguments(ExampleArguments(board));
  options.flags = {"--game_server_keys_file=" + keys_path};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  const std::string target =
      "127.0.0.1 " + std::to_string(host.tcp_port()) + " " + board;

  const CommandResult keyed =
      RunCommand("PLEMOX_APP_ID=python PLEMOX_GAME_KEY='" + key +
                 "' timeout 60 /usr/bin/python3 '" + dir_ +
                 "/leaderboard_example.py' " + target + " player 700");
  EXPECT_EQ(keyed.exit_code, 0) << keyed.output << host.Log();
  EXPECT_EQ(keyed.output,
            "submitted: result=kNewRecord score=700 rank=1 of 1\n"
            "top 10 of 1:\n1 guest:player 700\n");
  // Without the key the client's check of the answer stops it.
  const CommandResult refused = RunClient(target + " player 800");
  EXPECT_NE(refused.exit_code, 0);
  EXPECT_NE(refused.output.find("kFailInvalidKey"), std::string::npos)
      << refused.output;
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0);
  EXPECT_EQ(host.Log().find(key), std::string::npos);
}

// The same client over mutual TLS, with its settings from the environment.
TEST_F(ProtocolDocClientTest, PythonClientSpeaksMutualTls) {
  ASSERT_NO_FATAL_FAILURE(WriteClient());
  TestCertificates certificates;
  ASSERT_TRUE(certificates.ok());
  const std::string board = ProtocolDocPrefix() + "tls";
  auto options = HostProcess::Options::WithArguments(ExampleArguments(board));
  options.flags = {"--server_tls_cert=" + certificates.server_cert(),
                   "--server_tls_key=" + certificates.server_key(),
                   "--server_tls_client_ca=" + certificates.ca()};
  HostProcess host(options);
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForPort(host.tcp_port())) << host.Log();
  const std::string target =
      "127.0.0.1 " + std::to_string(host.tcp_port()) + " " + board;
  const std::string run = "timeout 60 /usr/bin/python3 '" + dir_ +
                          "/leaderboard_example.py' " + target;
  const std::string tls = "PLEMOX_TLS_CA='" + certificates.ca() + "' ";
  const CommandResult served =
      RunCommand(tls + "PLEMOX_TLS_CERT='" + certificates.client_cert() +
                 "' PLEMOX_TLS_KEY='" + certificates.client_key() + "' " + run +
                 " player 900");
  EXPECT_EQ(served.exit_code, 0) << served.output << host.Log();
  EXPECT_EQ(served.output,
            "submitted: result=kNewRecord score=900 rank=1 of 1\n"
            "top 10 of 1:\n1 guest:player 900\n");
  // Without its certificate, and in plain TCP, the client is refused.
  EXPECT_NE(RunCommand(tls + run + " player 901").exit_code, 0);
  EXPECT_NE(RunCommand(run + " player 902").exit_code, 0);
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
}

}  // namespace
}  // namespace plemox_test
