#include "https_test_server.h"

#include "test_prelude.h"

namespace panelora::test {
namespace fs = std::filesystem;

namespace {

// Runs one openssl command in `dir`, its output appended to dir/openssl.log.
bool openssl(const fs::path& dir, const std::string& arguments) {
    const std::string command =
        "cd '" + dir.string() + "' && openssl " + arguments + " >>openssl.log 2>&1 </dev/null";
    return std::system(command.c_str()) == 0;
}

std::string extensions(const std::string& names) {
    return "subjectAltName=" + names +
           "\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
           "extendedKeyUsage=serverAuth\n";
}

}  // namespace

TestPKI TestPKI::create(const fs::path& dir) {
    const std::string newKey = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string ca =
        "-addext basicConstraints=critical,CA:TRUE "
        "-addext keyUsage=critical,keyCertSign,cRLSign";
    writeFile(dir / "server.ext", extensions("IP:127.0.0.1,DNS:localhost"));
    writeFile(dir / "wronghost.ext", extensions("DNS:example.invalid"));
    bool ok =
        openssl(dir, "req -x509 " + newKey +
                         " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Test CA' " + ca) &&
        openssl(dir, "req -x509 " + newKey +
                         " -keyout stranger.key -out stranger.pem -days 2 -subj '/CN=Other' " + ca);
    for (const char* name : {"server", "wronghost"}) {
        const std::string n = name;
        ok = ok &&
             openssl(dir, "req " + newKey + " -keyout " + n + ".key -out " + n +
                              ".csr -subj /CN=" + n) &&
             openssl(dir, "x509 -req -in " + n +
                              ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + n +
                              ".pem -days 2 -extfile " + n + ".ext");
    }
    if (!ok)
        ADD_FAILURE() << "making the test certificates failed:\n" << readFile(dir / "openssl.log");
    return {dir / "ca.pem",     dir / "stranger.pem",  dir / "server.pem",
            dir / "server.key", dir / "wronghost.pem", dir / "wronghost.key"};
}

HttpsServer::HttpsServer(const fs::path& cert, const fs::path& key) {
    // The port is free when picked but could be taken before the server binds it: then the
    // server exits and another port is tried.
    for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
        bindLoopback(port_, false);
        auto process = ChildProcess::start(
            {"/bin/sh", "-c",
             "cd '" + root_.path().string() +
                 "' && exec openssl s_server -HTTP -quiet -accept 127.0.0.1:" +
                 std::to_string(port_) + " -cert '" + cert.string() + "' -key '" + key.string() +
                 "'"},
            ChildProcess::Options().stderrMerged().stdoutTo(root_.file("s_server.log")));
        if (process &&
            eventually([&] { return connectLoopback(port_) || !process->running(); },
                       std::chrono::seconds(10)) &&
            process->running()) {
            process_ = std::move(process);
        }
    }
    if (!process_)
        ADD_FAILURE() << "openssl s_server did not start:\n"
                      << readFile(root_.file("s_server.log"));
}

std::string HttpsServer::url(const std::string& name) const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

void HttpsServer::serve(const std::string& name, const std::string& status, const std::string& body,
                        const std::string& extraHeaders) {
    writeFile(root_.path() / name, "HTTP/1.0 " + status + "\r\nContent-Type: application/json\r\n" +
                                       extraHeaders + "\r\n" + body);
}

}  // namespace panelora::test
