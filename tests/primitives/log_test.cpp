#include "support/log.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace panelora {
namespace {

TEST(Log, OneLoggerPerCategoryAndMessagesAreNeverFormats) {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16);
    sink->set_pattern("%n|%l|%v");
    log::addSink(sink);

    auto stats = log::get("stats");
    EXPECT_EQ(stats, log::get("stats"));
    EXPECT_NE(stats, log::get("session"));
    EXPECT_EQ(stats->name(), "stats");

    stats->info("{}", "60 fps · 12 Mbps · backlog 1 KB");
    log::get("session")->error("{}", "literal {} and %s stay as written");

    auto lines = sink->last_formatted();
    log::removeSink(sink);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "stats|info|60 fps · 12 Mbps · backlog 1 KB\n");
    EXPECT_EQ(lines[1], "session|error|literal {} and %s stay as written\n");
}

// The system log gets each category's lines, except the per-second statistics below warnings.
// Read from a socket standing in for the system logger at /dev/log.
TEST(Log, SystemLogKeepsTheStatisticsCategoryToWarnings) {
    if (access("/dev/log", F_OK) == 0) GTEST_SKIP() << "a system logger owns /dev/log";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        GTEST_SKIP() << "cannot stand in for the system logger: " << std::strerror(errno);
    }
    log::get("stats")->info("{}", "60 fps line");
    log::get("stats")->error("{}", "stats error line");
    log::get("session")->info("{}", "session info line");

    // Other processes may log meanwhile; ours carry our pid.
    std::string ours = "[";
    ours += std::to_string(getpid());
    ours += ']';
    std::string received;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 300) == 1) {
        char buffer[2048];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        std::string line(buffer, static_cast<size_t>(n));
        if (line.find(ours) != std::string::npos) received += line + "\n";
    }
    close(fd);
    unlink("/dev/log");
    EXPECT_EQ(received.find("60 fps line"), std::string::npos) << received;
    EXPECT_NE(received.find("stats error line"), std::string::npos) << received;
    EXPECT_NE(received.find("session info line"), std::string::npos) << received;
}

// A platform's own system log (the unified log on macOS) replaces syslog for every logger, those
// made before included, and gets the statistics at every level. Last: it stays in place.
TEST(Log, PlatformSystemSinkReplacesSyslogAndGetsEveryLine) {
    auto earlier = log::get("session");
    auto system = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16);
    system->set_pattern("%n|%l|%v");
    log::setSystemSink(system);
    earlier->warn("{}", "session warning");
    log::get("stats")->info("{}", "60 fps line");
    log::get("later")->info("{}", "later line");
    EXPECT_EQ(system->last_formatted(),
              (std::vector<std::string>{"session|warning|session warning\n",
                                        "stats|info|60 fps line\n", "later|info|later line\n"}));
}

}  // namespace
}  // namespace panelora
