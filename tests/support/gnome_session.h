// A private headless GNOME session for system tests: a D-Bus session bus (dbus-daemon), PipeWire
// and WirePlumber, and mutter --headless --wayland --no-x11 with one virtual monitor of its own
// (the primary, 1440×900), all with their own XDG_RUNTIME_DIR (mode 0700)
// and configuration folders in a temporary directory.
//
//   auto* gnome = panelora::test::GnomeSession::shared();
//   if (!gnome) GTEST_SKIP() << panelora::test::GnomeSession::sharedSkipReason();
//   … GnomePlatform::create({gnome->busAddress(), gnome->pipewireSocket()}) …
//
// start() waits until mutter answers on the bus (ScreenCast, RemoteDesktop, DisplayConfig) and
// its Wayland socket exists; nothing when a program is missing or does not come up, with a reason
// to skip with. Destroying the session stops mutter, WirePlumber, PipeWire and the bus, each by
// its process id (SIGTERM, then SIGKILL after 5 s), and removes the directory. The processes also
// die with the test process (parent-death signal). Used from one thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "files.h"

namespace panelora::test {

class GnomeSession {
  public:
    static std::unique_ptr<GnomeSession> start(std::string* skipReason);

    // One session for the whole test binary, started on first use and stopped at exit. Tests
    // that change the monitors must put them back as they found them.
    static GnomeSession* shared();
    static const std::string& sharedSkipReason();

    ~GnomeSession();
    GnomeSession(const GnomeSession&) = delete;
    GnomeSession& operator=(const GnomeSession&) = delete;

    const std::string& busAddress() const { return busAddress_; }
    std::string pipewireSocket() const { return runtimeDir_ + "/pipewire-0"; }
    std::string waylandSocket() const { return runtimeDir_ + "/wayland-0"; }
    // The variables a program needs to run in this session as in a GNOME on Wayland login.
    std::vector<std::string> environment() const;
    pid_t mutterPid() const { return mutter_->pid(); }

    // The screen casts' PipeWire nodes (mutter's video output streams), through pw-dump; and
    // one destroyed as when the user stops sharing or PipeWire loses it, through pw-cli.
    // Mutter's own monitor has no node, so these are the program's.
    std::vector<uint32_t> screenCastNodes() const;
    bool destroyNode(uint32_t id, std::string* why) const;

  private:
    GnomeSession() = default;

    TempDir dir_;  // removed after the processes stopped (declared first)
    std::string runtimeDir_;
    std::string busAddress_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> pipewire_;
    std::unique_ptr<ChildProcess> wireplumber_;
    std::unique_ptr<ChildProcess> mutter_;
};

}  // namespace panelora::test
