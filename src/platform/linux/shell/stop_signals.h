// SIGINT and SIGTERM as ordinary events: blockStopSignals() blocks them in the calling thread
// before any other thread exists (so every thread inherits the mask and none takes them), and a
// StopSignalWatcher reads them from a signalfd on a thread of its own and calls `onSignal` there
// with the signal number. Nothing runs in a signal handler. SIGPIPE is ignored as well: a closed
// tablet socket or a closed standard output is an error result, not a death.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace panelora {

// Call first thing in main(). False when the mask could not be set.
bool blockStopSignals();

class StopSignalWatcher {
  public:
    // Nothing when the signalfd could not be made.
    static std::unique_ptr<StopSignalWatcher> start(std::function<void(int signo)> onSignal);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

  private:
    StopSignalWatcher(int signalFd, int wakeRead, int wakeWrite, std::function<void(int)> onSignal);
    void run();

    const int signalFd_;
    const int wakeRead_;
    const int wakeWrite_;
    std::function<void(int)> onSignal_;
    std::thread thread_;
};

}  // namespace panelora
