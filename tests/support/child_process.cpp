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

extern char** environ;

namespace panelora::test {

using SteadyClock = std::chrono::steady_clock;

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                  std::string* error, Options options) {
    if (argv.empty()) {
        if (error) *error = "no program";
        return nullptr;
    }
    int pipeFds[2] = {-1, -1};
    const bool toFile = !options.stdoutFile.empty();
    int fileFd = -1;
    if (toFile) {
        fileFd = ::open(options.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fileFd < 0) {
            if (error) *error = "cannot create " + options.stdoutFile + ": " + std::strerror(errno);
            return nullptr;
        }
    } else if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const int outFd = toFile ? fileFd : pipeFds[1];

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::map<std::string, std::string> variables;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        variables[entry.substr(0, entry.find('='))] = entry;
    }
    for (const std::string& entry : options.environment)
        variables[entry.substr(0, entry.find('='))] = entry;
    std::vector<char*> envp;
    for (auto& [name, entry] : variables)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0) {
        if (error) *error = std::string("fork: ") + std::strerror(errno);
        ::close(outFd);
        if (!toFile) ::close(pipeFds[0]);
        return nullptr;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        // The child starts with no signal blocked, whatever the test's threads block.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(outFd, STDOUT_FILENO);
        if (options.mergeStderr) dup2(outFd, STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(outFd);
    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->pid_ = pid;
    child->stdoutFd_ = toFile ? -1 : pipeFds[0];
    return child;
}

ChildProcess::~ChildProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

bool ChildProcess::readSome(int timeoutMs) {
    if (stdoutFd_ < 0) {
        if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    pollfd p{stdoutFd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(stdoutFd_, buffer, sizeof buffer);
    if (n > 0) {
        output_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    ::close(stdoutFd_);
    stdoutFd_ = -1;
    return false;
}

std::optional<std::string> ChildProcess::waitForLine(std::string_view needle,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (true) {
        size_t end;
        while ((end = output_.find('\n', scanned_)) != std::string::npos) {
            std::string line = output_.substr(scanned_, end - scanned_);
            scanned_ = end + 1;
            if (line.find(needle) != std::string::npos) return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0 || stdoutFd_ < 0) return std::nullopt;
        readSome(static_cast<int>(std::min<int64_t>(left.count(), 100)));
    }
}

bool ChildProcess::signal(int signalNumber) {
    return !status_ && pid_ > 0 && ::kill(pid_, signalNumber) == 0;
}

bool ChildProcess::running() {
    return !wait(std::chrono::milliseconds(0));
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (!status_) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 && errno != EINTR) {
            status_ = -1;
            break;
        }
        if (SteadyClock::now() >= deadline) return std::nullopt;
        // Reading doubles as the wait step; without a pipe it sleeps.
        readSome(10);
    }
    while (stdoutFd_ >= 0 && readSome(0)) {
        pollfd p{stdoutFd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
    }
    return status_;
}

}  // namespace panelora::test
