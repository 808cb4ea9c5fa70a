// A helper program run by a test or benchmark (tablet-sim, usbmuxd-sim, ffmpeg, the daemons of
// a GNOME session): its standard
// output comes back through a pipe and is read line by line; it dies with the process that
// started it (parent-death signal), and the destructor kills and reaps it if it still runs.
// Used from one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace panelora::test {

class ChildProcess {
  public:
    struct Options {
        bool mergeStderr = false;  // stderr into the same pipe (else inherited)
        std::string stdoutFile;    // when set: stdout (and stderr if merged) go to this file
        // "NAME=value" entries added to (or replacing those of) the test's own environment.
        std::vector<std::string> environment;
    };

    // argv[0] is the program's path. Nothing, with `error`, when it cannot be started.
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                               std::string* error, Options options);
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                               std::string* error) {
        return spawn(argv, error, Options{});
    }
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Reads output until a line containing `needle` arrives; that line, or nothing on timeout or
    // end of output.
    std::optional<std::string> waitForLine(std::string_view needle,
                                           std::chrono::milliseconds timeout);
    // Everything read so far (complete lines and the rest).
    const std::string& output() const { return output_; }

    bool signal(int signalNumber);
    // The exit status (or 128 + signal), or nothing when it has not ended within `timeout`.
    // Keeps reading its output meanwhile, so that a chatty child never blocks on a full pipe.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();

  private:
    ChildProcess() = default;
    bool readSome(int timeoutMs);  // false at end of output

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string output_;
    size_t scanned_ = 0;  // output_ before this offset has been searched line by line
    std::optional<int> status_;
};

}  // namespace panelora::test
