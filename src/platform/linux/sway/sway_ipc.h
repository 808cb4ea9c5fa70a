// SwayIpc: a connection to sway's IPC socket ($SWAYSOCK), the i3-compatible protocol: a magic
// "i3-ipc", a 32-bit length and type, then a JSON payload, answered in the same framing.
//
// Each call sends one message and waits for its reply; the calls of one connection are
// serialised by a mutex, so it may be used from any thread. A broken connection stays broken:
// every later call fails (sway has gone).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace panelora {

class SwayIpc {
  public:
    enum MessageType : uint32_t { runCommand = 0, getOutputs = 3, getVersion = 7 };

    // Nothing, with `why`, when the socket cannot be reached or sway does not answer
    // get_version. `socketPath` empty: $SWAYSOCK.
    static std::unique_ptr<SwayIpc> connect(const std::string& socketPath, std::string* why);
    ~SwayIpc();
    SwayIpc(const SwayIpc&) = delete;
    SwayIpc& operator=(const SwayIpc&) = delete;

    // The reply's JSON; nothing when the connection failed or the reply was not JSON.
    std::optional<nlohmann::json> request(MessageType type, const std::string& payload = {});
    // Runs sway commands ("output HEADLESS-2 scale 2; …"); false, with `why`, when sway refused
    // any of them.
    bool command(const std::string& commands, std::string* why = nullptr);

    const std::string& socketPath() const { return path_; }
    // "sway 1.7", from get_version.
    const std::string& version() const { return version_; }

  private:
    SwayIpc(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    std::mutex mutex_;
    int fd_ = -1;  // guarded by mutex_; -1 once broken
    const std::string path_;
    std::string version_;
};

}  // namespace panelora
