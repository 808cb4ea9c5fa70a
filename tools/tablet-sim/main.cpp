// tablet-sim: stands in for the tablet's companion app in tests, benchmarks and the demo. See
// options.cpp for the command line and report.h for what it reports.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "options.h"
#include "simulator.h"
#include "transport/socket_io.h"

using namespace panelora::tabletsim;

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    bool help = false;
    auto options = parseOptions(args, error, help);
    if (help) {
        std::fputs(usageText, stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "tablet-sim: %s\n\n%s", error.c_str(), usageText);
        return 2;
    }

    // Stop signals arrive through a descriptor; every thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    panelora::UniqueFd stopFd(signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!stopFd) {
        std::perror("tablet-sim: signalfd");
        return 2;
    }

    Simulator simulator(*options);
    if (!simulator.listen(error)) {
        std::fprintf(stderr, "tablet-sim: %s\n", error.c_str());
        return 2;
    }
    std::printf("tablet-sim: listening on 127.0.0.1:%u\n", unsigned(simulator.port()));
    std::fflush(stdout);

    const Report report = simulator.run(stopFd.get());
    std::fputs(report.toText().c_str(), stdout);
    std::fflush(stdout);
    if (!options->jsonPath.empty()) {
        std::ofstream json(options->jsonPath, std::ios::trunc);
        json << report.toJson();
        if (!json) {
            std::fprintf(stderr, "tablet-sim: cannot write %s\n", options->jsonPath.c_str());
            return 2;
        }
    }
    const int status = exitStatus(report, *options);
    if (status == 3) std::fprintf(stderr, "tablet-sim: no frame was decoded\n");
    return status;
}
