// A private headless sway for system tests: started as an unprivileged user (nobody, when the
// tests run as root, which sway refuses to be) with its own XDG_RUNTIME_DIR (owned by that user,
// mode 0700) in a temporary directory, the pixman renderer, no Xwayland, and one output of its
// own (HEADLESS-1, 1440×900 at the origin, the main one).
//
//   auto* sway = panelora::test::SwaySession::shared();
//   if (!sway) GTEST_SKIP() << panelora::test::SwaySession::sharedSkipReason();
//   … SwayPlatform::create({sway->ipcSocket(), sway->waylandSocket()}) …
//
// start() waits until sway answers on its IPC socket; nothing, with a reason to skip with, when
// sway is missing or does not come up. Destroying the session stops sway by its process id
// (SIGTERM, then SIGKILL after 5 s) and removes the directory; sway also dies with the test
// process. Used from one thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "files.h"

namespace panelora::test {

class SwaySession {
  public:
    static std::unique_ptr<SwaySession> start(std::string* skipReason);

    // One sway for the whole test binary, started on first use and stopped at exit. Tests leave
    // its outputs as they found them (ours parked).
    static SwaySession* shared();
    static const std::string& sharedSkipReason();

    ~SwaySession();
    SwaySession(const SwaySession&) = delete;
    SwaySession& operator=(const SwaySession&) = delete;

    const std::string& ipcSocket() const { return ipcSocket_; }
    const std::string& waylandSocket() const { return waylandSocket_; }
    // Where a platform keeps the names of its outputs in this sway.
    std::string ownedFile() const { return dir_.file("owned-outputs"); }
    // The variables a program needs to run in this session as in a sway login.
    std::vector<std::string> environment() const;
    pid_t pid() const { return sway_->pid(); }

  private:
    SwaySession() = default;

    TempDir dir_;  // removed after sway stopped (declared first)
    std::string runtimeDir_;
    std::string ipcSocket_;
    std::string waylandSocket_;
    std::unique_ptr<ChildProcess> sway_;
};

}  // namespace panelora::test
