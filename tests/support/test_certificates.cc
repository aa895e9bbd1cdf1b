#include "support/test_certificates.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <boost/filesystem.hpp>

namespace plemox_test {
namespace {

// One EC key and certificate request: "-newkey ec ... -keyout NAME-key.pem".
std::string NewKey(const std::string& name) {
  return "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
         "-nodes -keyout " +
         name + "-key.pem ";
}

}  // namespace

int Shell(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    text.append(buffer, n);
  }
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return status;
}

TestCertificates::TestCertificates() {
  std::string pattern =
      (boost::filesystem::temp_directory_path() / "plemox-certs-XXXXXX")
          .string();
  const char* made = mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot make a temporary directory";
    return;
  }
  dir_ = made;
  const std::string sign =
      " -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 2 ";
  const std::string command =
      "cd " + dir_ + " && " + NewKey("ca") +
      "-x509 -out ca.pem -days 2 -subj '/CN=plemox test CA' && " +
      NewKey("other-ca") +
      "-x509 -out other-ca.pem -days 2 -subj '/CN=plemox other CA' && " +
      NewKey("server") +
      "-out server.csr -subj '/CN=localhost' && "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext.cnf && "
      "openssl x509 -req -in server.csr" +
      sign + "-out server-cert.pem -extfile ext.cnf && " + NewKey("client") +
      "-out client.csr -subj '/CN=plemox test client' && "
      "openssl x509 -req -in client.csr" +
      sign + "-out client-cert.pem && " + NewKey("second-client") +
      "-out second-client.csr -subj '/O=Plemox Tests/CN=plemox second "
      "client' && openssl x509 -req -in second-client.csr" +
      sign + "-out second-client-cert.pem";
  std::string output;
  ok_ = Shell(command, &output) == 0;
  EXPECT_TRUE(ok_) << output;
}

TestCertificates::~TestCertificates() {
  if (dir_.empty()) return;
  boost::system::error_code ignored;
  boost::filesystem::remove_all(dir_, ignored);
}

}  // namespace plemox_test
