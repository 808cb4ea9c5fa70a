// One running copy per user: the running copy listens on a Unix socket named after the
// application in a folder that only the user may enter: $XDG_RUNTIME_DIR (the login manager
// makes it for the user alone, mode 0700), or when that is unset <temp>/panelora-<uid>, made with
// mode 0700. A folder that is not the user's own, or that anyone else may enter, is refused, so
// no other user can take the name first. A new copy connects, sends "quit\n" and waits until the
// old copy has gone (its end of the connection closes when it exits), then takes the socket
// over; a socket that refuses connections was left by a crash and is replaced. Only requests from
// the same user are honoured, and only a holder of the same user is asked.
//
// Threads: acquire() blocks (at most its timeout) and belongs to start-up. listen() starts one
// thread that accepts requests and calls `onQuit` on it, at most once; the callback is expected
// to hop to the main queue. The destructor stops that thread and closes every socket, which is
// what tells a waiting new copy that this one is done: keep the object until the very end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/clock.h"

namespace panelora {

class SingleInstance {
  public:
    // The environment variable that adds a suffix to the name, so that tests never meet a
    // user's real copy.
    static constexpr const char* nameSuffixVariable = "PANELORA_INSTANCE_NAME";
    // Longer than a running copy takes to end its session and quit (at most 5 s), so that a
    // new copy does not give up while the old one is still leaving.
    static constexpr std::chrono::seconds defaultTimeout{10};

    // $XDG_RUNTIME_DIR when it is an absolute path, else <temp>/panelora-<uid>.
    static std::string defaultFolder();
    // folder + "/" + identifier, then "." + suffix when there is one, then ".socket".
    static std::string socketPath(const std::string& folder, std::string_view identifier,
                                  std::string_view suffix);
    // In defaultFolder(), for kAppIdentifier and $PANELORA_INSTANCE_NAME.
    static std::string defaultPath();

    struct Result {
        std::unique_ptr<SingleInstance> instance;  // nothing when the name could not be taken
        bool askedOtherToQuit = false;             // a running copy was asked and has gone
        std::string error;                         // why there is no instance
    };

    // Takes the socket at `path`, asking whoever holds it to quit first; gives up after
    // `timeout`. The folder is made (mode 0700) when missing; it must be a folder of this user's
    // that nobody else may enter, else nothing is taken.
    static Result acquire(const std::string& path, Duration timeout = defaultTimeout);

    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Starts taking requests. Call once.
    void listen(std::function<void()> onQuit);

  private:
    SingleInstance(int listener, std::string path, dev_t device, ino_t inode);
    void serve();
    void handle(int connection);

    int listener_;
    const std::string path_;
    const dev_t device_;  // the socket file, removed on the way out while it is still ours
    const ino_t inode_;
    int wake_[2] = {-1, -1};  // a pipe that ends serve()
    std::function<void()> onQuit_;
    bool quitRequested_ = false;  // serve() thread only
    std::vector<int> kept_;       // quit connections, closed last; serve() thread only
    std::thread thread_;
};

}  // namespace panelora
