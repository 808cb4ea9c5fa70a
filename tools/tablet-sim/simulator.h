// The simulated tablet: listens on 127.0.0.1, serves one connection at a time and gathers the
// report. Owned by main; run() blocks on the calling thread until the run ends.
//
// Per connection: a reader thread reads, checks and decodes what the host sends; a serial send
// queue ("tablet-sim.send") writes the hello, pongs, scripted input and key requests, so packets
// leave whole and in order. Ending a connection shuts the socket down (which wakes both), joins
// the reader, drains the queue and only then closes the descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "report.h"
#include "transport/socket_io.h"

namespace panelora::tabletsim {

class Simulator {
  public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds and listens on 127.0.0.1 at the configured port. False with the reason in `error`.
    bool listen(std::string& error);
    // The bound port (the one picked for --port 0). Valid after listen().
    uint16_t port() const { return port_; }

    // Serves connections until --duration, --connections, a stop signal (stopFd becomes
    // readable; -1 for none) or, with --strict, the first violation. Then writes the PNG and
    // returns the report.
    Report run(int stopFd);

  private:
    struct Shared;
    class Connection;

    Options options_;
    UniqueFd listenFd_;
    uint16_t port_ = 0;
    std::shared_ptr<Shared> shared_;
};

// The process exit status for a report under these options: 1 for a violation, 3 for
// --expect-frames without a decoded frame, else 0.
int exitStatus(const Report& report, const Options& options);

}  // namespace panelora::tabletsim
