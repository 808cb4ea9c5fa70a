#pragma once

// A stand-in for the USB multiplexing daemon, for tests, the demo and benchmarks: it answers
// the property-list protocol on a Unix socket and tunnels "Connect" requests to plain TCP
// targets. One thread per client connection, plus one more per relayed connection (one per
// direction); run() owns all of them and joins them when stopped.

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace panelora::sim {

struct SimDevice {
    std::string serial;
    std::string connectionType;  // "USB" or "Network"
    std::string targetHost;
    uint16_t targetPort = 0;
    bool omitSerial = false;  // leave "SerialNumber" out of the properties
    bool stringID = false;    // report "DeviceID" as a string instead of an integer
};

struct SimConfig {
    std::string socketPath;
    std::vector<SimDevice> devices;
    bool verbose = false;
};

// Parses the command line; on error fills `error` and returns nothing.
std::optional<SimConfig> parseArguments(const std::vector<std::string>& args, std::string& error);

class Simulator {
  public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the socket; false (with a message on stderr) if it cannot.
    bool bind();
    // Serves until `stopFd` becomes readable, then closes every connection and returns.
    void run(int stopFd);

  private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void serveClient(int fd);
    void relay(int clientFd, int targetFd);
    void holdListener(int fd);
    int connectTarget(const SimDevice& device);

    // Descriptors to shut down when stopping; closed only under the same lock so a number
    // is never shut down after it was reused.
    void track(int fd);
    void closeTracked(int fd);
    void shutdownAll();

    void log(const std::string& line) const;

    SimConfig config_;
    int listenFd_ = -1;
    std::mutex mutex_;
    std::set<int> open_;
    std::atomic<bool> stopping_{false};
    std::list<Worker> workers_;  // touched only by run()'s thread
};

}  // namespace panelora::sim
