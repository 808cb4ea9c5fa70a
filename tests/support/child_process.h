// A program run by a test or benchmark: its standard output comes back through a pipe (or goes to
// a file) and is read line by line; it dies with the process that started it (parent-death
// signal), and the destructor kills and reaps it if it still runs. Used from one thread.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace panelora::test {

// How a child is started: its environment and where its standard streams go.
struct ChildProcessOptions {
    std::vector<std::string> environment;  // "NAME=value", added to or replacing ours
    bool mergeStderr = false;              // stderr into stdout's pipe or file
    std::string stderrFile;                // else stderr to this file (else inherited)
    std::string stdoutFile;                // stdout to this file instead of the pipe
    int deathSignal = SIGKILL;             // sent to it when the starting process dies

    ChildProcessOptions& set(std::string entry) {
        environment.push_back(std::move(entry));
        return *this;
    }
    ChildProcessOptions& stderrMerged() {
        mergeStderr = true;
        return *this;
    }
    ChildProcessOptions& stderrTo(std::string path) {
        stderrFile = std::move(path);
        return *this;
    }
    ChildProcessOptions& stdoutTo(std::string path) {
        stdoutFile = std::move(path);
        return *this;
    }
    ChildProcessOptions& onParentDeath(int signalNumber) {
        deathSignal = signalNumber;
        return *this;
    }
};

class ChildProcess {
  public:
    using Options = ChildProcessOptions;

    // argv[0] is the program's path (or a name looked up on PATH). Nothing, with `error`, when
    // it cannot be started.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                               const Options& options = Options(),
                                               std::string* error = nullptr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next line of output without its line feed; nothing at the end of the output or after
    // `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads lines until one satisfies `match` (returned), keeping every line read in `seen`.
    std::optional<std::string> readUntil(const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds timeout,
                                         std::vector<std::string>* seen = nullptr);
    // Reads lines until one contains `needle`.
    std::optional<std::string> waitForLine(std::string_view needle,
                                           std::chrono::milliseconds timeout);
    // Everything read so far.
    const std::string& output() const { return output_; }
    // What went to the stderr file.
    std::string stderrText() const;

    bool signal(int signalNumber);
    // The exit status (or 128 + signal), or nothing when it has not ended within `timeout`.
    // Keeps reading its output meanwhile, so that a chatty child never blocks on a full pipe.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running() { return !wait(std::chrono::milliseconds(0)); }

  private:
    ChildProcess() = default;
    bool readSome(int timeoutMs);  // false at the end of the output

    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string stderrFile_;
    std::string output_;
    size_t lineStart_ = 0;  // output_ before this offset has been returned as lines
    std::optional<int> status_;
};

}  // namespace panelora::test
