#include "tablet_rig.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "transport/usbmux_client.h"

namespace panelora::e2e {

std::string tabletSimPath() {
    return PANELORA_TABLET_SIM_PATH;
}
std::string usbmuxdSimPath() {
    return PANELORA_USBMUXD_SIM_PATH;
}

namespace {
constexpr auto kStartTimeout = std::chrono::seconds(20);
}

std::unique_ptr<TabletRig> TabletRig::start(const std::vector<std::string>& tabletArgs,
                                            std::string* error) {
    std::unique_ptr<TabletRig> rig(new TabletRig);
    char pattern[] = "/tmp/panelora-e2e-XXXXXX";
    if (!mkdtemp(pattern)) {
        if (error) *error = "mkdtemp failed";
        return nullptr;
    }
    rig->directory_ = pattern;
    rig->socketPath_ = rig->directory_ + "/usbmuxd.sock";
    rig->jsonPath_ = rig->directory_ + "/report.json";
    rig->pngPath_ = rig->directory_ + "/last.png";

    if (!rig->startTablet(0, tabletArgs, error)) return nullptr;

    rig->daemon_ =
        ChildProcess::spawn({usbmuxdSimPath(), "--socket", rig->socketPath_, "--device",
                             "E2E-TABLET-1,USB,127.0.0.1:" + std::to_string(rig->tabletPort_)},
                            error);
    if (!rig->daemon_) return nullptr;
    if (!rig->daemon_->waitForLine("listening on", kStartTimeout)) {
        if (error) *error = "usbmuxd-sim did not start: " + rig->daemon_->output();
        return nullptr;
    }
    return rig;
}

TabletRig::~TabletRig() {
    tablet_.reset();
    if (daemon_) {
        daemon_->signal(SIGTERM);
        if (!daemon_->wait(std::chrono::seconds(5))) daemon_->signal(SIGKILL);
        daemon_.reset();
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

int TabletRig::connect(std::string* error) {
    const auto daemon = USBMux::DaemonAddress::unixSocket(socketPath_);
    const auto devices = USBMux::listDevices(daemon);
    if (devices.size() != 1 || devices.front().serial != "E2E-TABLET-1") {
        if (error) *error = "the daemon lists " + std::to_string(devices.size()) + " devices";
        return -1;
    }
    const auto fd = USBMux::connect(daemon, devices.front().id, 5555);
    if (!fd) {
        if (error) *error = "USBMux::connect to port 5555 failed";
        return -1;
    }
    return *fd;
}

std::optional<nlohmann::json> TabletRig::finish(std::chrono::milliseconds timeout) {
    if (!tablet_) return std::nullopt;
    tablet_->signal(SIGTERM);
    tabletExit_ = tablet_->wait(timeout);
    if (!tabletExit_) return std::nullopt;
    std::ifstream in(jsonPath_);
    if (!in) return std::nullopt;
    auto report = nlohmann::json::parse(in, nullptr, false);
    if (report.is_discarded()) return std::nullopt;
    return report;
}

bool TabletRig::startTablet(uint16_t port, const std::vector<std::string>& tabletArgs,
                            std::string* error) {
    std::vector<std::string> argv{tabletSimPath(), "--port",     std::to_string(port),
                                  "--json",        jsonPath_,    "--save-png",
                                  pngPath_};
    argv.insert(argv.end(), tabletArgs.begin(), tabletArgs.end());
    std::error_code ignored;
    std::filesystem::remove(jsonPath_, ignored);  // no report of an earlier tablet is read
    tabletExit_.reset();
    tablet_ = ChildProcess::spawn(argv, error);
    if (!tablet_) return false;
    const auto listening = tablet_->waitForLine("listening on 127.0.0.1:", kStartTimeout);
    if (!listening) {
        if (error) *error = "tablet-sim did not start: " + tablet_->output();
        return false;
    }
    tabletPort_ = static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    return true;
}

bool TabletRig::replug(const std::vector<std::string>& tabletArgs, std::string* error) {
    if (tablet_ && !tabletExit_) killTablet();
    return startTablet(tabletPort_, tabletArgs, error);
}

void TabletRig::killTablet() {
    if (!tablet_) return;
    tablet_->signal(SIGKILL);
    tabletExit_ = tablet_->wait(std::chrono::seconds(10));
}

}  // namespace panelora::e2e
