#include "xorg_server.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace panelora::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The server's configuration, shared with scripts/xorg-dummy.sh.
std::string configText(const std::string& mode) {
    std::ifstream file(PANELORA_XORG_CONFIG);
    std::stringstream text;
    text << file.rdbuf();
    std::string config = text.str();
    for (auto at = config.find("@MODE@"); at != std::string::npos; at = config.find("@MODE@")) {
        config.replace(at, 6, mode);
    }
    return config;
}

std::string findXorg() {
    for (const char* candidate : {"/usr/lib/xorg/Xorg", "/usr/bin/Xorg"}) {
        if (access(candidate, X_OK) == 0) return candidate;
    }
    return {};
}

bool displayNumberInUse(int n) {
    std::error_code ec;
    return fs::exists("/tmp/.X11-unix/X" + std::to_string(n), ec) ||
           fs::exists("/tmp/.X" + std::to_string(n) + "-lock", ec);
}

// The server's fatal error lines ("(EE) Server is already active for display 60"), joined.
std::string fatalErrors(const std::string& path) {
    std::ifstream in(path);
    std::string result;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("(EE) ") && line.size() > 5)
            result += (result.empty() ? "" : "; ") + line.substr(5);
    }
    return result.empty() ? "no error message" : result;
}

// True when the lock file of display `n` names `pid`: the server answering there is ours and
// not one that another test process started on the same number a moment earlier.
bool lockHeldBy(int n, pid_t pid) {
    std::ifstream in("/tmp/.X" + std::to_string(n) + "-lock");
    long owner = -1;
    in >> owner;
    return in && owner == static_cast<long>(pid);
}

bool canConnect(const std::string& name) {
    Display* display = XOpenDisplay(name.c_str());
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

// Waits for the child to end, up to `limit`; true when it did (and was reaped).
bool reap(pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace

std::unique_ptr<XorgServer> XorgServer::start(std::string* skipReason, const Options& options) {
    auto fail = [&](std::string why) -> std::unique_ptr<XorgServer> {
        if (skipReason) *skipReason = std::move(why);
        return nullptr;
    };
    if (geteuid() != 0) return fail("starting Xorg with the dummy driver needs root");
    const std::string xorg = findXorg();
    if (xorg.empty()) return fail("Xorg is not installed (xserver-xorg-core)");
    std::error_code ec;
    if (!fs::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so", ec)) {
        return fail("the dummy video driver is not installed (xserver-xorg-video-dummy)");
    }

    auto server = std::unique_ptr<XorgServer>(new XorgServer);
    char pattern[] = "/tmp/panelora-xorg-XXXXXX";
    if (!mkdtemp(pattern)) return fail("cannot create a temporary directory");
    server->directory_ = pattern;
    const std::string configPath = server->directory_ + "/xorg.conf";
    const std::string configDir = server->directory_ + "/xorg.conf.d";
    fs::create_directory(configDir, ec);
    {
        std::ofstream config(configPath);
        config << configText(options.mode);
    }
    server->logPath_ = server->directory_ + "/Xorg.log";
    const std::string outputPath = server->directory_ + "/Xorg.out";

    std::string lastFailure = "no free display number";
    int number = options.firstDisplayNumber;
    for (int attempt = 0; attempt < 8; ++attempt, ++number) {
        while (number < options.firstDisplayNumber + 200 && displayNumberInUse(number))
            ++number;
        const std::string name = ":" + std::to_string(number);
        std::vector<std::string> args = {
            xorg,        name,  "-config",  configPath,       "-configdir",  configDir,  "-noreset",
            "-nolisten", "tcp", "-logfile", server->logPath_, "-novtswitch", "-sharevts"};
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid < 0) return fail("fork failed");
        if (pid == 0) {
            // Die with the test process, however it ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
                dup2(out, STDERR_FILENO);
            }
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0) dup2(devnull, STDIN_FILENO);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        server->pid_ = pid;
        server->displayNumber_ = number;
        server->displayName_ = name;

        auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
        bool exited = false;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            if (fs::exists("/tmp/.X11-unix/X" + std::to_string(number), ec) &&
                lockHeldBy(number, pid) && canConnect(name)) {
                return server;
            }
            std::this_thread::sleep_for(50ms);
        }
        if (!exited) {
            server->stop();
            return fail("Xorg did not accept connections on " + name + " within " +
                        std::to_string(options.startTimeout.count()) + " ms; log " +
                        server->logPath_);
        }
        server->pid_ = -1;
        std::string log = fatalErrors(outputPath);
        lastFailure =
            "Xorg exited at start on " + name + ": " + log + " (log " + server->logPath_ + ")";
        // Another process took the number between our check and the server's: try the next.
        if (log.find("already active") == std::string::npos &&
            log.find("Cannot establish any listening sockets") == std::string::npos) {
            break;
        }
    }
    return fail(lastFailure);
}

void XorgServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!reap(pid_, 5000ms)) {
        kill(pid_, SIGKILL);
        reap(pid_, 5000ms);
    }
    pid_ = -1;
}

XorgServer::~XorgServer() {
    stop();
    if (!directory_.empty()) {
        std::error_code ec;
        fs::remove_all(directory_, ec);
    }
}

namespace {
struct Shared {
    std::unique_ptr<XorgServer> server;
    std::string skipReason;
    Shared() { server = XorgServer::start(&skipReason); }
};
Shared& sharedState() {
    static Shared state;  // destroyed at exit, which stops the server
    return state;
}
}  // namespace

XorgServer* XorgServer::shared() {
    return sharedState().server.get();
}
const std::string& XorgServer::sharedSkipReason() {
    return sharedState().skipReason;
}

}  // namespace panelora::test
