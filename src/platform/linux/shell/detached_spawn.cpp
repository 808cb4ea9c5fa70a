#include "platform/linux/shell/detached_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace panelora {
namespace {

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Owners of the posix_spawn attribute objects, so every return path destroys them.
struct SpawnAttributes {
    posix_spawnattr_t value;
    bool ok = posix_spawnattr_init(&value) == 0;
    ~SpawnAttributes() {
        if (ok) posix_spawnattr_destroy(&value);
    }
};

struct SpawnFileActions {
    posix_spawn_file_actions_t value;
    bool ok = posix_spawn_file_actions_init(&value) == 0;
    ~SpawnFileActions() {
        if (ok) posix_spawn_file_actions_destroy(&value);
    }
};

}  // namespace

std::optional<std::string> findOnPath(std::string_view program, std::string_view searchPath) {
    if (program.empty()) return std::nullopt;
    if (program.find('/') != std::string_view::npos) {
        std::string path(program);
        if (isExecutableFile(path)) return path;
        return std::nullopt;
    }
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string_view::npos) end = searchPath.size();
        std::string_view dir = searchPath.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate(dir);
        candidate += '/';
        candidate += program;
        if (isExecutableFile(candidate)) {
            char cwd[4096];
            if (candidate[0] != '/' && getcwd(cwd, sizeof cwd)) {
                std::string absolute(cwd);
                absolute += '/';
                absolute += candidate;
                return absolute;
            }
            return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> findOnPath(std::string_view program) {
    const char* path = std::getenv("PATH");
    return findOnPath(program, path ? path : "/usr/local/bin:/usr/bin:/bin");
}

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    auto program = findOnPath(argv[0]);
    if (!program) return false;

    SpawnAttributes attributes;
    SpawnFileActions actions;
    if (!attributes.ok || !actions.ok) return false;
    // The shell blocks its stop signals for a signalfd and ignores SIGPIPE; neither must leak
    // into a desktop program.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, signo);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID;
    if (posix_spawnattr_setflags(&attributes.value, flags) != 0 ||
        posix_spawnattr_setsigmask(&attributes.value, &none) != 0 ||
        posix_spawnattr_setsigdefault(&attributes.value, &defaults) != 0) {
        return false;
    }
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        int mode = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
        if (posix_spawn_file_actions_addopen(&actions.value, fd, "/dev/null", mode, 0) != 0) {
            return false;
        }
    }

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawn(&pid, program->c_str(), &actions.value, &attributes.value, args.data(),
                    environ) != 0) {
        return false;
    }
    std::thread([pid] {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace panelora
