#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "files.h"

extern char** environ;

namespace panelora::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

int millisecondsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int openForWriting(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const Options& options, std::string* error) {
    auto fail = [&](std::string why) -> std::unique_ptr<ChildProcess> {
        if (error) *error = why + (errno ? std::string(": ") + std::strerror(errno) : "");
        return nullptr;
    };
    errno = 0;
    if (argv.empty()) return fail("no program");

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::map<std::string, std::string> variables;
    for (char** e = environ; *e; ++e)
        variables[std::string(*e, std::strcspn(*e, "="))] = *e;
    for (const std::string& entry : options.environment)
        variables[entry.substr(0, entry.find('='))] = entry;
    std::vector<std::string> args = argv;
    std::vector<char*> argp, envp;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& [name, entry] : variables)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2] = {-1, -1};
    if (!options.stdoutFile.empty()) {
        out[1] = openForWriting(options.stdoutFile);
        if (out[1] < 0) return fail("cannot create " + options.stdoutFile);
    } else if (pipe2(out, O_CLOEXEC) != 0) {
        return fail("pipe");
    }
    const int err = options.stderrFile.empty() ? -1 : openForWriting(options.stderrFile);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, options.deathSignal);
        if (getppid() != parent) _exit(127);
        // The child starts with no signal blocked, whatever the test's threads block.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(devNull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (options.mergeStderr) dup2(out[1], STDERR_FILENO);
        if (err >= 0) dup2(err, STDERR_FILENO);
        execvpe(argp[0], argp.data(), envp.data());  // a path with a '/' is not searched
        _exit(127);
    }
    for (int fd : {out[1], err, devNull}) {
        if (fd >= 0) ::close(fd);
    }
    if (pid < 0) {
        if (out[0] >= 0) ::close(out[0]);
        return fail("fork");
    }
    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->pid_ = pid;
    child->stdout_ = out[0];
    child->stderrFile_ = options.stderrFile;
    return child;
}

ChildProcess::~ChildProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (stdout_ >= 0) ::close(stdout_);
}

bool ChildProcess::readSome(int timeoutMs) {
    if (stdout_ < 0) {
        if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    pollfd p{stdout_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
    if (n > 0) output_.append(buffer, static_cast<size_t>(n));
    if (n > 0 || (n < 0 && errno == EINTR)) return true;
    ::close(std::exchange(stdout_, -1));
    return false;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        const size_t end = output_.find('\n', lineStart_);
        if (end != std::string::npos) {
            std::string line = output_.substr(lineStart_, end - lineStart_);
            lineStart_ = end + 1;
            return line;
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0 || stdout_ < 0) return std::nullopt;
        readSome(std::min(left, 100));
    }
}

std::optional<std::string> ChildProcess::readUntil(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout,
    std::vector<std::string>* seen) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        auto line = readLine(std::chrono::milliseconds(millisecondsLeft(deadline)));
        if (!line) return std::nullopt;
        if (seen) seen->push_back(*line);
        if (match(*line)) return line;
    }
}

std::optional<std::string> ChildProcess::waitForLine(std::string_view needle,
                                                     std::chrono::milliseconds timeout) {
    return readUntil(
        [needle](const std::string& line) { return line.find(needle) != std::string::npos; },
        timeout);
}

std::string ChildProcess::stderrText() const {
    return stderrFile_.empty() ? std::string() : readFile(stderrFile_);
}

bool ChildProcess::signal(int signalNumber) {
    return !status_ && pid_ > 0 && ::kill(pid_, signalNumber) == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (!status_) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (r < 0 && errno != EINTR)
            status_ = -1;
        else if (SteadyClock::now() >= deadline)
            return std::nullopt;
        else
            readSome(10);  // reading doubles as the wait step; without a pipe it sleeps
    }
    while (stdout_ >= 0) {
        pollfd p{stdout_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !readSome(0)) break;
    }
    return status_;
}

}  // namespace panelora::test
