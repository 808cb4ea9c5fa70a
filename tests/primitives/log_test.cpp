#include "support/log.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

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

}  // namespace
}  // namespace panelora
