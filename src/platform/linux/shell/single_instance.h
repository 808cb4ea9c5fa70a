// One running copy per user: the running copy holds an abstract Unix socket named after the
// application and the user id ("\0app.panelora.Panelora.<uid>"). A new copy connects to it,
// sends "quit\n" and waits until the old copy has gone (its end of the connection closes when it
// exits), then takes the name over. Only requests from the same user are honoured, and only a
// holder of the same user is asked: abstract names carry no permissions of their own.
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

    // "\0" + identifier + "." + uid, then "." + suffix when there is one.
    static std::string socketName(std::string_view identifier, uid_t uid, std::string_view suffix);
    // For this user, kAppIdentifier and $PANELORA_INSTANCE_NAME.
    static std::string defaultName();

    struct Result {
        std::unique_ptr<SingleInstance> instance;  // nothing when the name could not be taken
        bool askedOtherToQuit = false;             // a running copy was asked and has gone
        std::string error;                         // why there is no instance
    };

    // Takes the name, asking whoever holds it to quit first; gives up after `timeout`.
    static Result acquire(const std::string& name, Duration timeout = defaultTimeout);

    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Starts taking requests. Call once.
    void listen(std::function<void()> onQuit);

  private:
    explicit SingleInstance(int listener);
    void serve();
    void handle(int connection);

    const int listener_;
    int wake_[2] = {-1, -1};  // a pipe that ends serve()
    std::function<void()> onQuit_;
    bool quitRequested_ = false;  // serve() thread only
    std::vector<int> kept_;       // quit connections, closed last; serve() thread only
    std::thread thread_;
};

}  // namespace panelora
