// The API token: where the host takes it from, what it refuses, and how a
// request's Authorization header is judged.
#include "vel/http/api_access.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

using vel::ApiAccess;

class ApiAccessTest : public testing::Test {
 protected:
  void TearDown() override { ApiAccess::SetToken(""); }

  std::string WriteFile(const std::string& text) {
    const std::string path =
        testing::TempDir() + "api_token_" + std::to_string(getpid()) + ".txt";
    std::ofstream(path) << text;
    return path;
  }

  static vel::HttpRequest WithAuthorization(const std::string& value) {
    vel::HttpRequest request;
    if (!value.empty()) request.headers["authorization"] = value;
    return request;
  }
};

TEST_F(ApiAccessTest, TokenComesFromTheFlagOrTheFirstLineOfItsFile) {
  std::string token = "unchanged";
  std::string error;
  ASSERT_TRUE(ApiAccess::LoadToken("", "", &token, &error));
  EXPECT_EQ(token, "");
  ASSERT_TRUE(ApiAccess::LoadToken("0123456789abcdef", "", &token, &error));
  EXPECT_EQ(token, "0123456789abcdef");
  const std::string file =
      WriteFile("  s3cret-token-from-file \nsecond line\n");
  ASSERT_TRUE(ApiAccess::LoadToken("", file, &token, &error)) << error;
  EXPECT_EQ(token, "s3cret-token-from-file");

  // Refusals leave the token as it was and say why.
  EXPECT_FALSE(ApiAccess::LoadToken("0123456789abcdef", file, &token, &error));
  EXPECT_NE(error.find("not both"), std::string::npos);
  EXPECT_FALSE(ApiAccess::LoadToken("short", "", &token, &error));
  EXPECT_NE(error.find("at least 16"), std::string::npos);
  EXPECT_FALSE(ApiAccess::LoadToken("has a blank in it!", "", &token, &error));
  EXPECT_FALSE(ApiAccess::LoadToken("", file + ".missing", &token, &error));
  EXPECT_FALSE(ApiAccess::LoadToken("", WriteFile("\n"), &token, &error));
  EXPECT_EQ(token, "s3cret-token-from-file");
  std::remove(file.c_str());
}

TEST_F(ApiAccessTest, RequestsNeedTheBearerTokenOnceOneIsSet) {
  const auto check = [](const std::string& header) {
    return ApiAccess::Check(WithAuthorization(header));
  };
  EXPECT_EQ(check(""), ApiAccess::Verdict::kAllowed);
  ApiAccess::SetToken("0123456789abcdef");
  EXPECT_TRUE(ApiAccess::HasToken());
  EXPECT_EQ(check("Bearer 0123456789abcdef"), ApiAccess::Verdict::kAllowed);
  EXPECT_EQ(check("bearer  0123456789abcdef "), ApiAccess::Verdict::kAllowed);
  EXPECT_EQ(check(""), ApiAccess::Verdict::kMissingToken);
  EXPECT_EQ(check("Basic MDEyMzQ1Njc4OWFiY2RlZg=="),
            ApiAccess::Verdict::kMissingToken);
  EXPECT_EQ(check("Bearer 0123456789abcdeF"), ApiAccess::Verdict::kWrongToken);
  EXPECT_EQ(check("Bearer 0123456789abcde"), ApiAccess::Verdict::kWrongToken);
  EXPECT_EQ(check("Bearer 0123456789abcdef0"), ApiAccess::Verdict::kWrongToken);
  EXPECT_FALSE(ApiAccess::EqualInConstantTime("", "x"));
  EXPECT_TRUE(ApiAccess::EqualInConstantTime("", ""));
}

}  // namespace
