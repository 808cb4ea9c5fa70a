// The tools that stand in for the cable and the tablet, as processes: usbmuxd-sim on a private
// socket, tablet-sim on a loopback port, and both together as the tablet end of the real chain.
//
//   auto rig = TabletRig::start({"--hello", "2732x2048@120"}, &error);
//   int fd = rig->connect(&error);           // USBMux::listDevices + USBMux::connect
//   … Session::create(fd, …) …
//   auto report = rig->finish();             // SIGTERM tablet-sim, read its JSON report
//
// Destructors kill whatever still runs and remove their folders.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "files.h"
#include "transport/usbmux_address.h"

namespace panelora::test {

// usbmuxd-sim's path, set at build time.
std::string usbmuxdSimPath();

// usbmuxd-sim listing `devices` ("SERIAL,USB,127.0.0.1:PORT[,flag]"), on `socketPath` or, when
// it is empty, in a folder of its own.
class UsbmuxdSim {
  public:
    static std::unique_ptr<UsbmuxdSim> start(const std::vector<std::string>& devices,
                                             const std::string& socketPath = {},
                                             std::string* error = nullptr);
    const std::string& socketPath() const { return socketPath_; }
    USBMux::DaemonAddress address() const { return USBMux::DaemonAddress::unixSocket(socketPath_); }
    ChildProcess& process() { return *process_; }

  private:
    UsbmuxdSim() = default;
    std::unique_ptr<TempDir> dir_;
    std::string socketPath_;
    std::unique_ptr<ChildProcess> process_;
};

// tablet-sim with `args`, listening on 127.0.0.1:`port` (0: a free one).
class TabletSim {
  public:
    static std::unique_ptr<TabletSim> start(const std::vector<std::string>& args, uint16_t port = 0,
                                            std::string* error = nullptr);
    uint16_t port() const { return port_; }
    ChildProcess& process() { return *process_; }
    // A TCP connection to it, as the daemon makes; -1 on failure. The caller owns it.
    int connect() const;

  private:
    TabletSim() = default;
    uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// tablet-sim and a usbmuxd-sim that tunnels to it, in a private temporary folder.
class TabletRig {
  public:
    // `tabletArgs` are tablet-sim options; --json and --save-png are added here.
    static std::unique_ptr<TabletRig> start(const std::vector<std::string>& tabletArgs,
                                            std::string* error);

    // A socket to port 5555 of the simulated device, found by listing the daemon's devices; -1
    // and `error` on failure. The caller owns the descriptor.
    int connect(std::string* error);

    // Ends tablet-sim gracefully (SIGTERM: it closes the connection, saves the PNG and writes
    // the report) and returns its report; nothing when it does not end or write one in time.
    std::optional<nlohmann::json> finish(
        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Kills tablet-sim if it still runs (a tablet unplugged) and starts it again on the same port:
    // another tablet on the same cable. Its report and picture replace the last ones.
    bool replug(const std::vector<std::string>& tabletArgs, std::string* error);

    ChildProcess& tablet() { return tablet_->process(); }
    std::string pngPath() const { return dir_.file("last.png"); }
    const std::string& daemonSocket() const { return daemon_->socketPath(); }

  private:
    TabletRig() = default;
    bool startTablet(const std::vector<std::string>& tabletArgs, uint16_t port, std::string* error);
    TempDir dir_;
    std::unique_ptr<TabletSim> tablet_;
    std::unique_ptr<UsbmuxdSim> daemon_;
};

}  // namespace panelora::test
