// A program started by a test: its standard output read line by line through a pipe, its
// standard error kept in a file for failure messages, killed and reaped at the end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace panelora::test {

class ChildProcess {
  public:
    // argv[0] is a path. `environment` entries ("NAME=value") are added to (or replace those
    // of) the test's own environment. Nothing when it cannot be started.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                               const std::vector<std::string>& environment,
                                               const std::string& stderrPath);
    ~ChildProcess();

    pid_t pid() const { return pid_; }

    // The next line of standard output (without its line feed); nothing at the end of the
    // output or after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads lines until one satisfies `match` (returned), keeping every line read in `seen`.
    std::optional<std::string> readUntil(const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds timeout,
                                         std::vector<std::string>* seen = nullptr);

    void signal(int signo);
    // The exit status (or 128 + signal); nothing when it has not ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    std::string stderrText() const;

  private:
    ChildProcess() = default;

    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string buffer_;
    std::string stderrPath_;
    std::optional<int> status_;
};

}  // namespace panelora::test
