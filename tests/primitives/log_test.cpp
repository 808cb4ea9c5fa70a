#include "support/log.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(Log, OneLoggerPerCategory) {
    LogCapture capture;
    auto stats = log::get("stats");
    EXPECT_EQ(stats, log::get("stats"));
    EXPECT_NE(stats, log::get("session"));
    stats->info("{}", "60 fps · 12 Mbps · backlog 1 KB");
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"stats|info|60 fps · 12 Mbps · backlog 1 KB"});
}

// The system log gets each category's lines, except the per-second statistics below warnings.
// Read from a socket standing in for the system logger at /dev/log.
TEST(Log, SystemLogKeepsTheStatisticsCategoryToWarnings) {
    if (access("/dev/log", F_OK) == 0) GTEST_SKIP() << "a system logger owns /dev/log";
    const UniqueFd logger = unixSocket("/dev/log", true, SOCK_DGRAM);
    if (!logger) GTEST_SKIP() << "cannot stand in for the system logger: " << std::strerror(errno);
    log::get("stats")->info("{}", "60 fps line");
    log::get("stats")->error("{}", "stats error line");
    log::get("session")->info("{}", "session info line");

    // Other processes may log meanwhile; ours carry our pid.
    std::string ours = "[";  // appended: GCC 12 at -O3 warns on "[" + std::string
    ours.append(std::to_string(getpid())).append("]");
    std::string received;
    pollfd p{logger.get(), POLLIN, 0};
    while (poll(&p, 1, 300) == 1) {
        char buffer[2048];
        ssize_t n = recv(logger.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        std::string line(buffer, static_cast<size_t>(n));
        if (line.find(ours) != std::string::npos) received += line + "\n";
    }
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
}  // namespace panelora::test
