// The parts of the MariaDB client that need no server: the result cursor,
// value conversions, escaping and server url parsing.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>

#include "vel/mariadb/mariadb.h"
#include "vel/mariadb/result_sets.h"

namespace {

using vel::Mariadb;
using vel::ResultSets;

// Two result sets: (id, name) with two rows, then an empty one with a column.
ResultSets MakeTwoSets() {
  ResultSets sets;
  sets.AddResultSet({"id", "name"});
  sets.AddRow({std::string("1"), std::string("alice")});
  sets.AddRow({std::string("2"), std::nullopt});
  sets.AddResultSet({"count"});
  sets.AddAffectedRows(3);
  sets.AddAffectedRows(4);
  return sets;
}

TEST(ResultSetsTest, CursorWalksSetsAndRowsFromBeforeTheFirst) {
  ResultSets sets = MakeTwoSets();
  EXPECT_EQ(sets.GetResultSetCount(), 2u);
  EXPECT_EQ(sets.GetAffectedRowCount(), 7u);
  // Before the first set nothing is readable.
  EXPECT_EQ(sets.GetColumnCount(), 0u);
  EXPECT_FALSE(sets.SeekNextRow());
  EXPECT_EQ(sets.GetString(0, "none"), "none");

  ASSERT_TRUE(sets.SeekNextResultSet());
  EXPECT_EQ(sets.GetColumnCount(), 2u);
  EXPECT_EQ(sets.GetRowCount(), 2u);
  EXPECT_EQ(sets.GetColumnName(1), "name");
  EXPECT_EQ(sets.GetColumnName(2), "");
  // Positioned before the first row of the set.
  EXPECT_TRUE(sets.IsNull(0));
  ASSERT_TRUE(sets.SeekNextRow());
  EXPECT_EQ(sets.GetInt(0), 1);
  EXPECT_EQ(sets.GetString(1), "alice");
  ASSERT_TRUE(sets.SeekNextRow());
  EXPECT_EQ(sets.GetInt(0), 2);
  EXPECT_TRUE(sets.IsNull(1));
  EXPECT_EQ(sets.GetString(1, "default"), "default");
  EXPECT_FALSE(sets.SeekNextRow());
  EXPECT_FALSE(sets.SeekNextRow());
  EXPECT_EQ(sets.GetString(0, "gone"), "gone");

  ASSERT_TRUE(sets.SeekNextResultSet());
  EXPECT_EQ(sets.GetColumnCount(), 1u);
  EXPECT_FALSE(sets.SeekNextRow());
  EXPECT_FALSE(sets.SeekNextResultSet());
  EXPECT_FALSE(sets.SeekNextResultSet());
  EXPECT_EQ(sets.GetColumnCount(), 0u);
  EXPECT_FALSE(sets.SeekNextRow());
}

TEST(ResultSetsTest, EmptyResultSetsHaveNothingToSeek) {
  ResultSets sets;
  EXPECT_EQ(sets.GetResultSetCount(), 0u);
  EXPECT_FALSE(sets.SeekNextResultSet());
  EXPECT_FALSE(sets.SeekNextRow());
  EXPECT_EQ(sets.GetInt(0, -5), -5);
}

// One row holding `text` in column 0, positioned on it.
ResultSets OneValue(std::optional<std::string> text) {
  ResultSets sets;
  sets.AddResultSet({"v"});
  sets.AddRow({std::move(text)});
  sets.SeekNextResultSet();
  sets.SeekNextRow();
  return sets;
}

TEST(ResultSetsTest, NumericConversionsAndTheirDefaults) {
  EXPECT_EQ(OneValue("-9223372036854775808").GetInt(0, 1),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(OneValue("9223372036854775807").GetInt(0, 1),
            std::numeric_limits<std::int64_t>::max());
  // Past the range of int64 (an unsigned BIGINT, say): the default.
  EXPECT_EQ(OneValue("18446744073709551615").GetInt(0, 7), 7);
  EXPECT_EQ(OneValue("9.3e18").GetInt(0, 7), 7);
  // DECIMAL text truncates toward zero.
  EXPECT_EQ(OneValue("12.75").GetInt(0, 7), 12);
  EXPECT_EQ(OneValue("-12.75").GetInt(0, 7), -12);
  EXPECT_EQ(OneValue("+42").GetInt(0, 7), 42);
  EXPECT_EQ(OneValue("").GetInt(0, 7), 7);
  EXPECT_EQ(OneValue("12abc").GetInt(0, 7), 7);
  EXPECT_EQ(OneValue("abc").GetInt(0, 7), 7);
  EXPECT_EQ(OneValue(std::nullopt).GetInt(0, 7), 7);
  EXPECT_EQ(OneValue("5").GetInt(1, 7), 7);

  EXPECT_DOUBLE_EQ(OneValue("-100").GetDouble(0, 1.5), -100.0);
  EXPECT_DOUBLE_EQ(OneValue("0.1").GetDouble(0, 1.5), 0.1);
  EXPECT_DOUBLE_EQ(OneValue("1.23456789012346e+17").GetDouble(0, 1.5),
                   1.23456789012346e+17);
  EXPECT_DOUBLE_EQ(OneValue("1e999").GetDouble(0, 1.5), 1.5);
  EXPECT_DOUBLE_EQ(OneValue("x1").GetDouble(0, 1.5), 1.5);
  EXPECT_DOUBLE_EQ(OneValue(std::nullopt).GetDouble(0, 1.5), 1.5);
  // Binary data with an embedded NUL stays whole.
  EXPECT_EQ(OneValue(std::string("a\0b", 3)).GetString(0),
            std::string("a\0b", 3));
}

TEST(MariadbEscapeTest, EscapesEverySpecialByteLikeTheConnector) {
  const std::string raw("it's a \\ \"q\"\n\r\x1a", 15);
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet(raw, "utf8mb4"),
            "it\\'s a \\\\ \\\"q\\\"\\n\\r\\Z");
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet(std::string("a\0b", 3), ""),
            "a\\0b");
  // Plain text and complete UTF-8 characters stay as they are.
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet(
                "player_42 \xc3\xa9\xe2\x82\xac", "utf8mb4"),
            "player_42 \xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet("", "utf8"), "");
}

TEST(MariadbEscapeTest, MultiByteCharacterSetsDoNotSwallowTheEscape) {
  // In GBK 0xBF 0x5C is one character: a byte-wise escape of 0xBF 0x27
  // would yield 0xBF 0x5C 0x27, whose quote ends the string.
  const std::string attack("\xbf'", 2);
  const std::string escaped =
      Mariadb::EscapeStringForCharacterSet(attack, "gbk");
  EXPECT_EQ(escaped, "\\\xbf\\'");
  // A complete GBK character whose second byte is 0x5C is not touched.
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet("\xbf\x5c", "gbk"),
            "\xbf\x5c");
  // Byte-wise (unknown set) the same input gets the backslash escaped.
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet("\xbf\x5c", "no-such-set"),
            "\xbf\\\\");
}

TEST(MariadbEscapeTest, NoBackslashEscapesDoublesQuotesOnly) {
  EXPECT_EQ(Mariadb::EscapeStringForCharacterSet("it's \\n", "utf8mb4", true),
            "it''s \\n");
}

TEST(MariadbEscapeTest, ClientWithoutConnectionUsesItsCharacterSet) {
  auto client = Mariadb::Create("127.0.0.1:1", "u", "p", "db", 1, "gbk", true,
                                Mariadb::kDefaultClientFlags, 0, nullptr);
  EXPECT_EQ(client->EscapeString(std::string("\xbf'", 2)), "\\\xbf\\'");
}

TEST(MariadbServerUrlTest, ParsesHostPortSocketAndIpv6) {
  Mariadb::ServerAddress address;
  ASSERT_TRUE(Mariadb::ParseServerUrl("db.example:13306", &address));
  EXPECT_EQ(address.host, "db.example");
  EXPECT_EQ(address.port, 13306u);
  EXPECT_EQ(address.unix_socket, "");

  ASSERT_TRUE(Mariadb::ParseServerUrl("127.0.0.1", &address));
  EXPECT_EQ(address.host, "127.0.0.1");
  EXPECT_EQ(address.port, 3306u);

  ASSERT_TRUE(Mariadb::ParseServerUrl("/run/mysqld/mysqld.sock", &address));
  EXPECT_EQ(address.unix_socket, "/run/mysqld/mysqld.sock");
  EXPECT_EQ(address.host, "");
  EXPECT_EQ(address.port, 0u);

  ASSERT_TRUE(Mariadb::ParseServerUrl("[::1]:3307", &address));
  EXPECT_EQ(address.host, "::1");
  EXPECT_EQ(address.port, 3307u);
  ASSERT_TRUE(Mariadb::ParseServerUrl("[::1]", &address));
  EXPECT_EQ(address.port, 3306u);
}

TEST(MariadbServerUrlTest, RejectsMalformedUrlsWithoutTouchingTheOutput) {
  for (const char* url :
       {"", ":3306", "host:", "host:0", "host:65536", "host:12a", "host:-1",
        "::1", "[::1", "[::1]3306", "[]:3306", "host:123456"}) {
    Mariadb::ServerAddress address;
    address.host = "unchanged";
    EXPECT_FALSE(Mariadb::ParseServerUrl(url, &address)) << url;
    EXPECT_EQ(address.host, "unchanged") << url;
  }
}

TEST(MariadbErrorTest, TextFormCarriesCodeDescriptionAndState) {
  Mariadb::Error error{1062, "Duplicate entry 'a' for key 'PRIMARY'", "23000"};
  std::ostringstream text;
  text << error;
  EXPECT_EQ(text.str(),
            "code: 1062, desc: Duplicate entry 'a' for key 'PRIMARY', "
            "sqlstate: 23000");
  EXPECT_TRUE(static_cast<bool>(error));
  EXPECT_FALSE(static_cast<bool>(Mariadb::Error()));
}

TEST(MariadbLifecycleTest, ClientThatIsNotRunningFailsStatementsAtOnce) {
  auto client = Mariadb::Create("127.0.0.1:1", "u", "p", "db", 1, "", true,
                                Mariadb::kDefaultClientFlags, 0, nullptr);
  int calls = 0;
  client->ExecuteQuery("SELECT 1", [&](const std::shared_ptr<ResultSets>& sets,
                                       const Mariadb::Error& error) {
    ++calls;
    EXPECT_NE(sets, nullptr);
    EXPECT_EQ(error.code, Mariadb::kClientNotRunningError);
  });
  EXPECT_EQ(calls, 1);
  std::shared_ptr<ResultSets> out;
  EXPECT_EQ(client->ExecuteQuerySync("SELECT 1", &out).code,
            Mariadb::kClientNotRunningError);
  EXPECT_NE(out, nullptr);
  // Bad settings are refused before anything connects.
  auto no_connections = Mariadb::Create("127.0.0.1:1", "u", "p", "db", 0, "",
                                        true, 0, 0, nullptr);
  EXPECT_FALSE(no_connections->Initialize());
  auto bad_url = Mariadb::Create("host:notaport", "u", "p", "db", 1, "", true,
                                 0, 0, nullptr);
  EXPECT_FALSE(bad_url->Initialize());
  EXPECT_FALSE(client->SetTimeouts(Mariadb::Timeouts{0, 1, 1}));
  client->Finalize();
  client->Finalize();
  EXPECT_FALSE(client->SetTimeouts(Mariadb::Timeouts{}));
}

}  // namespace
