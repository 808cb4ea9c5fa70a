// The tablet end of the real chain for end-to-end tests and benchmarks: tablet-sim listening on a
// free loopback port and usbmuxd-sim on a private socket that tunnels to it, both in a private
// temporary folder. connect() goes through the USB multiplexer client like the application does.
//
//   auto rig = TabletRig::start({"--hello", "2732x2048@120"}, &error);
//   int fd = rig->connect(&error);           // USBMux::listDevices + USBMux::connect
//   … Session::create(fd, …) …
//   auto report = rig->finish();             // SIGTERM tablet-sim, read its JSON report
//
// The destructor kills whatever still runs and removes the folder.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace panelora::e2e {

using test::ChildProcess;

// Paths of the tools, set at build time.
std::string tabletSimPath();
std::string usbmuxdSimPath();

class TabletRig {
  public:
    // `tabletArgs` are tablet-sim options; --port, --json and --save-png are added here.
    static std::unique_ptr<TabletRig> start(const std::vector<std::string>& tabletArgs,
                                            std::string* error);
    ~TabletRig();

    // A socket to port 5555 of the simulated device, found by listing the daemon's devices; -1
    // and `error` on failure. The caller owns the descriptor.
    int connect(std::string* error);

    // Ends tablet-sim gracefully (SIGTERM: it closes the connection, saves the PNG and writes
    // the report) and returns its report; nothing when it does not end or write one in time.
    std::optional<nlohmann::json> finish(
        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Kills tablet-sim outright, as a tablet that is unplugged.
    void killTablet();
    // Starts tablet-sim again on the same port, after finish() or killTablet(): another tablet
    // on the same cable. Its report and picture replace the last ones.
    bool replug(const std::vector<std::string>& tabletArgs, std::string* error);

    ChildProcess& tablet() { return *tablet_; }
    const std::string& pngPath() const { return pngPath_; }
    const std::string& directory() const { return directory_; }
    uint16_t tabletPort() const { return tabletPort_; }
    const std::string& daemonSocket() const { return socketPath_; }
    std::optional<int> tabletExitStatus() const { return tabletExit_; }

  private:
    TabletRig() = default;
    bool startTablet(uint16_t port, const std::vector<std::string>& tabletArgs, std::string* error);

    std::string directory_;
    std::string socketPath_;
    std::string jsonPath_;
    std::string pngPath_;
    uint16_t tabletPort_ = 0;
    std::unique_ptr<ChildProcess> tablet_;
    std::unique_ptr<ChildProcess> daemon_;
    std::optional<int> tabletExit_;
};

}  // namespace panelora::e2e
