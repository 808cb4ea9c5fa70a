// usbmuxd-sim: answers the USB multiplexing daemon's protocol on a Unix socket and tunnels
// connections to TCP targets, standing in for a cable in tests, demos and benchmarks.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "simulator.h"

namespace {

constexpr const char* kUsage =
    "usage: usbmuxd-sim --socket PATH [--device SERIAL,TYPE,HOST:PORT[,FLAG...]]... [--verbose]\n"
    "  Each --device adds one device (DeviceID 1, 2, ... in order). TYPE is USB or Network.\n"
    "  \"Connect\" to any port of a device opens a TCP connection to HOST:PORT and relays it.\n"
    "  FLAGs: no-serial (omit SerialNumber), string-id (DeviceID as a string).\n"
    "  Prints \"usbmuxd-sim: listening on PATH\" when ready; SIGTERM or SIGINT stop it.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    std::string error;
    auto config = panelora::sim::parseArguments(args, error);
    if (!config) {
        std::fprintf(stderr, "usbmuxd-sim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }

    // Stop signals are taken through a descriptor; every thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::perror("usbmuxd-sim: signalfd");
        return 1;
    }

    const std::string path = config->socketPath;
    panelora::sim::Simulator simulator(std::move(*config));
    if (!simulator.bind()) return 1;
    std::printf("usbmuxd-sim: listening on %s\n", path.c_str());
    std::fflush(stdout);
    simulator.run(stopFd);
    close(stopFd);
    return 0;
}
