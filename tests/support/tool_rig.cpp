#include "tool_rig.h"

#include <signal.h>

#include "sockets.h"
#include "transport/usbmux_client.h"

namespace panelora::test {

std::string usbmuxdSimPath() {
    return PANELORA_USBMUXD_SIM_PATH;
}

namespace {
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr const char* kSerial = "RIG-TABLET-1";
}  // namespace

std::unique_ptr<UsbmuxdSim> UsbmuxdSim::start(const std::vector<std::string>& devices,
                                              const std::string& socketPath, std::string* error) {
    std::unique_ptr<UsbmuxdSim> sim(new UsbmuxdSim);
    if (socketPath.empty()) sim->dir_ = std::make_unique<TempDir>();
    sim->socketPath_ = socketPath.empty() ? sim->dir_->file("usbmuxd.sock") : socketPath;
    std::vector<std::string> argv{usbmuxdSimPath(), "--socket", sim->socketPath_};
    for (const auto& device : devices)
        argv.insert(argv.end(), {"--device", device});
    sim->process_ = ChildProcess::start(argv, ChildProcess::Options(), error);
    if (!sim->process_) return nullptr;
    if (!sim->process_->waitForLine("listening on", kStartTimeout)) {
        if (error) *error = "usbmuxd-sim did not start: " + sim->process_->output();
        return nullptr;
    }
    return sim;
}

std::unique_ptr<TabletSim> TabletSim::start(const std::vector<std::string>& args, uint16_t port,
                                            std::string* error) {
    std::unique_ptr<TabletSim> sim(new TabletSim);
    std::vector<std::string> argv{PANELORA_TABLET_SIM_PATH, "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    sim->process_ = ChildProcess::start(argv, ChildProcess::Options(), error);
    if (!sim->process_) return nullptr;
    const auto listening = sim->process_->waitForLine("listening on 127.0.0.1:", kStartTimeout);
    if (!listening) {
        if (error) *error = "tablet-sim did not start: " + sim->process_->output();
        return nullptr;
    }
    sim->port_ = static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    return sim;
}

int TabletSim::connect() const {
    return connectLoopback(port_).release();
}

std::unique_ptr<TabletRig> TabletRig::start(const std::vector<std::string>& tabletArgs,
                                            std::string* error) {
    std::unique_ptr<TabletRig> rig(new TabletRig);
    if (!rig->startTablet(tabletArgs, 0, error)) return nullptr;
    const std::string device =
        std::string(kSerial) + ",USB,127.0.0.1:" + std::to_string(rig->tablet_->port());
    rig->daemon_ = UsbmuxdSim::start({device}, rig->dir_.file("usbmuxd.sock"), error);
    if (!rig->daemon_) return nullptr;
    return rig;
}

bool TabletRig::startTablet(const std::vector<std::string>& tabletArgs, uint16_t port,
                            std::string* error) {
    std::vector<std::string> args{"--json", dir_.file("report.json"), "--save-png", pngPath()};
    args.insert(args.end(), tabletArgs.begin(), tabletArgs.end());
    std::error_code ignored;  // no earlier tablet's report is read
    std::filesystem::remove(dir_.file("report.json"), ignored);
    tablet_ = TabletSim::start(args, port, error);
    return tablet_ != nullptr;
}

bool TabletRig::replug(const std::vector<std::string>& tabletArgs, std::string* error) {
    tablet().signal(SIGKILL);  // unplugged
    tablet().wait(std::chrono::seconds(10));
    return startTablet(tabletArgs, tablet_->port(), error);
}

int TabletRig::connect(std::string* error) {
    const auto devices = USBMux::listDevices(daemon_->address());
    if (devices.size() != 1 || devices.front().serial != kSerial) {
        if (error) *error = "the daemon lists " + std::to_string(devices.size()) + " devices";
        return -1;
    }
    const auto fd = USBMux::connect(daemon_->address(), devices.front().id, 5555);
    if (!fd) {
        if (error) *error = "USBMux::connect to port 5555 failed";
        return -1;
    }
    return *fd;
}

std::optional<nlohmann::json> TabletRig::finish(std::chrono::milliseconds timeout) {
    tablet().signal(SIGTERM);
    if (!tablet().wait(timeout)) return std::nullopt;
    auto report = nlohmann::json::parse(readFile(dir_.file("report.json")), nullptr, false);
    if (report.is_discarded()) return std::nullopt;
    return report;
}

}  // namespace panelora::test
