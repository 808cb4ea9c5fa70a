// A private X server for system tests: Xorg with the dummy video driver, on a free display
// number, with its own configuration and log in a temporary directory. The screen starts with
// one connected primary output DUMMY0 and 15 disconnected spare outputs DUMMY1…DUMMY15 (which
// the RandR virtual display uses); DAMAGE, MIT-SHM, RANDR, XFIXES and XTEST are present.
//
//   auto* x = panelora::test::XorgServer::shared();
//   if (!x) GTEST_SKIP() << panelora::test::XorgServer::sharedSkipReason();
//   Display* d = XOpenDisplay(x->displayName().c_str());
//
// Starting needs root (Xorg opens the console) and the Xorg binary with the dummy driver; when
// either is missing, start() yields nothing and a reason to skip with. Destroying the server
// stops it (SIGTERM, then SIGKILL after 5 s), waits for it and removes the directory. The server
// also dies with the test process (parent-death signal), so a crashed test leaves none behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "child_process.h"
#include "files.h"

namespace panelora::test {

class XorgServer {
  public:
    struct Options {
        int firstDisplayNumber = 60;     // tried upward, skipping numbers in use
        std::string mode = "1920x1080";  // the primary output's mode
        std::chrono::milliseconds startTimeout{10'000};
    };

    // Nothing, with `skipReason` set, when the server cannot be started.
    static std::unique_ptr<XorgServer> start(std::string* skipReason, const Options& options);
    static std::unique_ptr<XorgServer> start(std::string* skipReason) {
        return start(skipReason, Options{});
    }

    // One server for the whole test binary, started on first use and stopped at exit. Tests
    // that change the screen must put it back as they found it. Nothing when it cannot start.
    static XorgServer* shared();
    static const std::string& sharedSkipReason();

    ~XorgServer();
    XorgServer(const XorgServer&) = delete;
    XorgServer& operator=(const XorgServer&) = delete;

    const std::string& displayName() const { return displayName_; }  // ":60"
    pid_t pid() const;

    // Stops the server now (for tests of a server going away); the destructor then only cleans up.
    void stop();

  private:
    XorgServer() = default;

    std::unique_ptr<TempDir> directory_;  // configuration and log
    std::string logPath_;
    std::string displayName_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace panelora::test
