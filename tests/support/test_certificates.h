// Certificates a test makes with openssl in a temporary directory of its
// own (removed with it): a CA, a server certificate it signs for 127.0.0.1
// and localhost, two client certificates it signs (of different subjects),
// and an unrelated CA. For
// servers and clients that speak TLS in tests. Test thread only.
#pragma once

#include <string>

namespace plemox_test {

class TestCertificates {
 public:
  // Makes them; the test fails (ok() false) when openssl does not.
  TestCertificates();
  ~TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  bool ok() const { return ok_; }
  // The directory; other files the test needs may go there too.
  const std::string& dir() const { return dir_; }
  std::string ca() const { return dir_ + "/ca.pem"; }
  std::string server_cert() const { return dir_ + "/server-cert.pem"; }
  std::string server_key() const { return dir_ + "/server-key.pem"; }
  std::string client_cert() const { return dir_ + "/client-cert.pem"; }
  std::string client_key() const { return dir_ + "/client-key.pem"; }
  // Their subjects as the server reads them (RFC 2253).
  static constexpr char kClientSubject[] = "CN=plemox test client";
  // A second client: same CA, a subject of two parts.
  std::string second_client_cert() const {
    return dir_ + "/second-client-cert.pem";
  }
  std::string second_client_key() const {
    return dir_ + "/second-client-key.pem";
  }
  static constexpr char kSecondClientSubject[] =
      "CN=plemox second client,O=Plemox Tests";
  // A CA that signed none of the above.
  std::string other_ca() const { return dir_ + "/other-ca.pem"; }

 private:
  std::string dir_;
  bool ok_ = false;
};

// Runs `command` with sh; its output (stdout and stderr) in *output. The
// exit status as system() gives it.
int Shell(const std::string& command, std::string* output = nullptr);

}  // namespace plemox_test
