#include "xorg_server.h"

#include <X11/Xlib.h>

#include <filesystem>
#include <fstream>

#include "eventually.h"

namespace panelora::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

// The server answering on display `n` is ours (its lock file names `pid`), not one that another
// test process started on the same number a moment earlier.
bool answers(int n, pid_t pid) {
    std::ifstream lock("/tmp/.X" + std::to_string(n) + "-lock");
    long owner = -1;
    lock >> owner;
    if (!lock || owner != long(pid)) return false;
    Display* display = XOpenDisplay((":" + std::to_string(n)).c_str());
    if (display) XCloseDisplay(display);
    return display != nullptr;
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
    if (!fs::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so"))
        return fail("the dummy video driver is not installed (xserver-xorg-video-dummy)");

    auto server = std::unique_ptr<XorgServer>(new XorgServer);
    server->directory_ = std::make_unique<TempDir>();
    const std::string config = server->directory_->file("xorg.conf");
    std::string text = readFile(PANELORA_XORG_CONFIG);  // shared with scripts/xorg-dummy.sh
    for (auto at = text.find("@MODE@"); at != std::string::npos; at = text.find("@MODE@"))
        text.replace(at, 6, options.mode);
    writeFile(config, text);
    fs::create_directory(server->directory_->path() / "xorg.conf.d");
    server->logPath_ = server->directory_->file("Xorg.log");
    const std::string output = server->directory_->file("Xorg.out");

    std::string lastFailure = "no free display number";
    int number = options.firstDisplayNumber;
    for (int attempt = 0; attempt < 8; ++attempt, ++number) {
        while (number < options.firstDisplayNumber + 200 && displayNumberInUse(number))
            ++number;
        const std::string name = ":" + std::to_string(number);
        auto process = ChildProcess::start(
            {xorg, name, "-config", config, "-configdir", server->directory_->file("xorg.conf.d"),
             "-noreset", "-nolisten", "tcp", "-logfile", server->logPath_, "-novtswitch",
             "-sharevts"},
            ChildProcess::Options().stdoutTo(output).stderrMerged().onParentDeath(SIGTERM));
        if (!process) return fail("cannot start " + xorg);
        const pid_t pid = process->pid();
        if (eventually([&] { return !process->running() || answers(number, pid); },
                       options.startTimeout) &&
            process->running()) {
            server->process_ = std::move(process);
            server->displayName_ = name;
            return server;
        }
        if (process->running()) {
            process->signal(SIGTERM);
            process->wait(5s);
            return fail("Xorg did not accept connections on " + name + "; log " + server->logPath_);
        }
        // Another process took the number between our check and the server's: try the next.
        const std::string log = readFile(output);
        std::string errors;  // "(EE) Server is already active for display 60", …
        for (size_t at = log.find("(EE) "); at != std::string::npos; at = log.find("(EE) ", at + 1))
            errors += log.substr(at + 5, log.find('\n', at) - at - 5) + "; ";
        lastFailure = "Xorg exited at start on " + name + ": " + errors + "log " + server->logPath_;
        if (log.find("already active") == std::string::npos &&
            log.find("Cannot establish any listening sockets") == std::string::npos)
            break;
    }
    return fail(lastFailure);
}

pid_t XorgServer::pid() const {
    return process_ ? process_->pid() : -1;
}

void XorgServer::stop() {
    if (!process_) return;
    process_->signal(SIGTERM);
    if (!process_->wait(5s)) process_->signal(SIGKILL);  // the destructor reaps it
    process_.reset();
}

XorgServer::~XorgServer() {
    stop();
}

namespace {
std::pair<std::unique_ptr<XorgServer>, std::string>& sharedState() {
    static std::pair<std::unique_ptr<XorgServer>, std::string> state = [] {
        std::string skipReason;
        auto server = XorgServer::start(&skipReason);
        return std::pair(std::move(server), skipReason);
    }();  // destroyed at exit, which stops the server
    return state;
}
}  // namespace

XorgServer* XorgServer::shared() {
    return sharedState().first.get();
}
const std::string& XorgServer::sharedSkipReason() {
    return sharedState().second;
}

}  // namespace panelora::test
