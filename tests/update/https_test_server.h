// Local servers for the update check's system tests: a test certificate authority made with the
// openssl command at run time, `openssl s_server -HTTP` serving canned HTTPS responses from a
// temporary folder. Everything binds 127.0.0.1 on a free port and is torn down by its destructor.
#pragma once

#include "child_process.h"
#include "test_prelude.h"

namespace panelora::test {

// Keys and certificates made once per test program.
struct TestPKI {
    std::filesystem::path caCert;      // the authority the fetcher is told to trust
    std::filesystem::path strangerCA;  // another authority, which signed nothing here
    std::filesystem::path serverCert;  // for 127.0.0.1 and localhost, signed by caCert
    std::filesystem::path serverKey;
    std::filesystem::path wrongHostCert;  // signed by caCert, but for example.invalid only
    std::filesystem::path wrongHostKey;

    // Generates everything into `dir`; fails the calling test when openssl does.
    static TestPKI create(const std::filesystem::path& dir);
};

// `openssl s_server -HTTP`: GET /<name> answers with the file <name> of its folder verbatim,
// status line and headers included.
class HttpsServer {
  public:
    HttpsServer(const std::filesystem::path& cert, const std::filesystem::path& key);
    bool running() const { return process_ != nullptr; }
    std::string url(const std::string& name) const;
    // Serves `body` as GET /<name> with the given status line, e.g. "200 OK".
    void serve(const std::string& name, const std::string& status, const std::string& body,
               const std::string& extraHeaders = "");

  private:
    TempDir root_;
    uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace panelora::test
