#include "session/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <thread>

#include "protocol/packet_reader.h"
#include "session_fakes.h"
#include "support/log.h"

namespace panelora::test {
namespace {

using namespace std::chrono_literals;

H264Encoder::Output frame(size_t size, bool isKey, bool withParameterSets = false) {
    H264Encoder::Output output;
    output.isKey = isKey;
    output.avcc.assign(size, 0xAB);
    output.ptsMicros = 42;
    output.encodeLatencyMs = 3;
    if (withParameterSets) {
        output.sps = std::vector<uint8_t>(20, 0x67);
        output.pps = std::vector<uint8_t>(8, 0x68);
    }
    return output;
}

// A frame output whose whole send buffer (header and flags included) is `total` bytes.
H264Encoder::Output frameOfTotal(size_t total, bool isKey) {
    return frame(total - Wire::headerSize - Wire::framePayloadPrefix, isKey);
}

// Polls for a condition that another thread makes true.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// Reads whatever arrives within the time limit.
std::vector<uint8_t> drain(int fd, int timeoutMs = 200) {
    std::vector<uint8_t> all;
    uint8_t buffer[65536];
    while (readable(fd, timeoutMs)) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        all.insert(all.end(), buffer, buffer + n);
    }
    return all;
}

// Reads exactly `count` bytes, waiting as long as it takes within a generous limit.
std::vector<uint8_t> readBytes(int fd, size_t count) {
    std::vector<uint8_t> all;
    uint8_t buffer[65536];
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (!readable(fd, 100)) continue;
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - all.size()));
        if (n <= 0) break;
        all.insert(all.end(), buffer, buffer + n);
    }
    return all;
}

std::vector<std::pair<uint8_t, size_t>> packetsIn(const std::vector<uint8_t>& bytes) {
    std::vector<std::pair<uint8_t, size_t>> packets;
    size_t at = 0;
    while (at + 5 <= bytes.size()) {
        uint32_t length = readU32BE(bytes.data() + at + 1);
        packets.push_back({bytes[at], length});
        at += 5 + length;
    }
    return packets;
}

// ---- Errors and summaries ----

TEST(SessionText, ErrorDescriptions) {
    EXPECT_EQ(Session::description(Session::SessionError::noVirtualDisplay),
              "Couldn't create the virtual display");
    EXPECT_EQ(Session::description(Session::SessionError::noEncoder),
              "Couldn't start the video encoder");
    EXPECT_EQ(Session::description(Session::SessionError::ended), "The tablet disconnected");
    Session::StartError capture{ScreenCapturer::CaptureError{}};
    EXPECT_EQ(capture.description(),
              "Virtual display didn't appear (is Screen Recording allowed for Panelora?)");
}

TEST(SessionText, StatsSummaries) {
    struct Case {
        Session::Stats stats;
        std::string summary;
    };
    const Case cases[] = {
        {{60, 12.4, 4.2, 9.7, 3.1, 5.4, 0, 0},
         "60 fps · 12 Mbps · encode 4 ms (max 10) · link 3 ms (max 5)"},
        {{0, 0, 0, 0, std::nullopt, std::nullopt, 0, 0}, "0 fps · 0 Mbps · encode 0 ms (max 0)"},
        {{30, 8, 2, 3, std::nullopt, std::nullopt, 5, 1},
         "30 fps · 8 Mbps · encode 2 ms (max 3) · dropped 5"},
        {{1, 0.5, 0.5, 1.5, 2.5, 2.5, 1, 0},
         "1 fps · 0 Mbps · encode 0 ms (max 2) · link 2 ms (max 2) · dropped 1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.stats.summary(), c.summary);
}

// ---- End path ----

TEST(SessionEnd, StopBeforeStartEndsOnceAndClosesTheSocket) {
    SessionRig rig;
    rig.session->stop();
    rig.session->stop();
    EXPECT_EQ(rig.endedCalls, 1);
    EXPECT_TRUE(rig.session->hasEnded());
    // The tablet sees the end of the stream at once.
    EXPECT_TRUE(readable(rig.tablet.fd, 1000));
    EXPECT_TRUE(drain(rig.tablet.fd).empty());
    // No reader was started, so the send queue's release closes it.
    EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
    EXPECT_EQ(rig.input->calls(), (std::vector<std::string>{"releaseAll"}));
}

TEST(SessionEnd, StopFromManyThreadsAtOnceEndsOnce) {
    for (int round = 0; round < 20; ++round) {
        SessionRig rig;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&] { rig.session->stop(); });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(rig.endedCalls, 1);
        auto calls = rig.input->calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "releaseAll"), 1);
    }
}

TEST(SessionEnd, StartAfterStopNeverTouchesTheDescriptor) {
    SessionRig rig;
    rig.session->stop();
    ASSERT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
    // The closed number is handed out again, to a connection that is not the session's.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Tablet other{fds[1]};
    other.sendRaw({0x05, 0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7});
    auto error = rig.session->start(false, std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description(), "The tablet disconnected");
    uint8_t buffer[32];
    EXPECT_EQ(recv(fds[0], buffer, sizeof buffer, MSG_DONTWAIT), 12);
    close(fds[0]);
}

TEST(SessionEnd, AStopDuringStartKeepsTheSocketOpenUntilStartHasLetGo) {
    for (int round = 0; round < 10; ++round) {
        SessionRig rig;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
            rig.session->stop();
        });
        auto error = rig.session->start(false, std::nullopt);
        stopper.join();
        // Whatever the order, the socket ends up closed exactly when both have let go.
        EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); })) << round;
        if (error) {
            EXPECT_EQ(error->description(), "The tablet disconnected");
        }
        rig.session->stop();
    }
}

TEST(SessionEnd, NothingIsWrittenAfterTheEnd) {
    // A pipe: shutting it down does nothing, so only the session's own checks keep the bytes out.
    SessionRig rig;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    SessionEnvironment env;
    env.displays = &rig.displays;
    env.capture = &rig.capture;
    env.codecs = &rig.codecs;
    env.input = rig.input;
    auto session = Session::create(pipeFds[1], env);
    session->sendPacket(Wire::PacketType::ping, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(readBytes(pipeFds[0], 13).size(), 13u);
    session->stop();
    session->sendPacket(Wire::PacketType::ping, std::vector<uint8_t>(8, 0));
    session->handle(frame(100, true));
    session.reset();  // the send queue runs what was queued, then closes the pipe
    EXPECT_TRUE(readBytes(pipeFds[0], 1).empty());
    close(pipeFds[0]);
}

TEST(SessionEnd, StartAfterStopFailsAsDisconnected) {
    SessionRig rig;
    rig.session->stop();
    auto error = rig.session->start(false, std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description(), "The tablet disconnected");
    EXPECT_TRUE(rig.displays.alive.empty());
}

// ---- Start-up ----

TEST(SessionStart, NoHelloGivesTheFallbackProfileWithTheCursorDrawn) {
    SessionRig rig;
    ASSERT_FALSE(rig.session->start(false, 1.5));  // settings do not matter without a hello
    EXPECT_EQ(rig.session->profile(), StreamProfile::fallback);
    EXPECT_TRUE(rig.capture.configuration.showsCursor);
    EXPECT_EQ(rig.capture.configuration.width, 2048);
    EXPECT_EQ(rig.capture.configuration.height, 1536);
    EXPECT_EQ(rig.capture.configuration.fps, 60);
    EXPECT_EQ(rig.tracker, nullptr);
    EXPECT_TRUE(rig.displays.isAlive(rig.session->displayID()));
    rig.session->stop();
}

TEST(SessionStart, HelloOfLength1024IsNoHello) {
    SessionRig rig;
    rig.tablet.send(Wire::PacketType::hello, std::vector<uint8_t>(1024, 0x0A));
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    EXPECT_EQ(rig.session->profile(), StreamProfile::fallback);
    rig.session->stop();
}

TEST(SessionStart, HelloNegotiatesTheProfileAndClientCursorStartsATracker) {
    SessionRig rig;
    rig.tablet.sendHello(2732, 2048, 120, /*flags*/ 1, /*version*/ 2);
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    EXPECT_EQ(rig.session->profile().summary(), "2732×2048 @ 60 fps · looks like 1708×1280");
    EXPECT_FALSE(rig.capture.configuration.showsCursor);
    ASSERT_NE(rig.tracker, nullptr);
    EXPECT_EQ(rig.tracker->started, 1);
    rig.clock.runUntilIdle();  // the arrangement starts on the main queue
    ASSERT_NE(rig.arrangement, nullptr);
    EXPECT_EQ(rig.arrangement->calls, (std::vector<std::string>{"start"}));
    EXPECT_EQ(rig.displays.lastSettings.modes.at(0).width, 1708u);

    rig.session->moveDisplay(DisplayArrangement::Side::left);
    rig.clock.runUntilIdle();
    rig.session->stop();
    EXPECT_EQ(rig.tracker->stopped, 1);
    rig.session->moveDisplay(DisplayArrangement::Side::right);  // after the end: nothing
    rig.clock.runUntilIdle();
    EXPECT_EQ(rig.arrangement->calls,
              (std::vector<std::string>{"start", "move left", "unregister"}));
}

TEST(SessionStart, FailuresCarryTheirOwnErrors) {
    {
        SessionRig rig;
        rig.displays.refuse = true;
        auto error = rig.session->start(false, std::nullopt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "Couldn't create the virtual display");
        rig.session->stop();
    }
    {
        SessionRig rig;
        rig.codecs.refuse = true;
        auto error = rig.session->start(false, std::nullopt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "Couldn't start the video encoder");
        // The display stays until the owner's stop(), and goes only after onEnded returned.
        DisplayID id = rig.session->displayID();
        EXPECT_TRUE(rig.displays.isAlive(id));
        bool aliveDuringOnEnded = false;
        rig.session->setOnEnded([&] { aliveDuringOnEnded = rig.displays.isAlive(id); });
        rig.session->stop();
        EXPECT_TRUE(aliveDuringOnEnded);
        EXPECT_FALSE(rig.displays.isAlive(id));
    }
    {
        SessionRig rig;
        rig.capture.startError = "The user declined";
        auto error = rig.session->start(false, std::nullopt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "The user declined");
        rig.session->stop();
    }
}

TEST(SessionStart, StopWhileWaitingForTheHelloFailsAsDisconnected) {
    SessionRig rig;
    rig.session.reset();
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    Tablet tablet{fds[1]};
    SessionEnvironment env;
    env.displays = &rig.displays;
    env.capture = &rig.capture;
    env.codecs = &rig.codecs;
    env.input = rig.input;
    env.activity = SessionEnvironment::noActivity();
    auto session = Session::create(fds[0], env);
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        session->stop();
    });
    auto started = std::chrono::steady_clock::now();
    auto error = session->start(false, std::nullopt);
    stopper.join();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description(), "The tablet disconnected");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);  // woke at once, not after 3 s
    EXPECT_TRUE(rig.displays.alive.empty());
}

// ---- Send path ----

TEST(SessionSend, FirstOutputThatIsNotAKeyFrameIsDroppedAndAKeyFrameRequested) {
    SessionRig rig;
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    rig.capture.deliverFrame(1'000);
    auto first = rig.codecs.takeSubmissions();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first[0].forceKey);
    // The codec answers with a non-key frame: dropped, and a key frame is asked for. The screen
    // is static, so the encoder's fallback re-encodes the last frame as a key frame.
    EncodedSample sample;
    sample.notSync = true;
    sample.avcc = {0, 0, 0, 1, 0x41};
    first[0].completion(sample);
    rig.clock.advance(150ms);
    auto fallback = rig.codecs.takeSubmissions();
    ASSERT_EQ(fallback.size(), 1u);
    EXPECT_TRUE(fallback[0].forceKey);
    // Nothing has been written to the tablet.
    EXPECT_TRUE(drain(rig.tablet.fd, 50).empty());
    // The key frame that comes back goes out.
    EncodedSample key;
    key.avcc = {0, 0, 0, 1, 0x65};
    key.sps = std::vector<uint8_t>{0x67, 1};
    key.pps = std::vector<uint8_t>{0x68, 2};
    fallback[0].completion(key);
    auto packets = packetsIn(readBytes(rig.tablet.fd, 5 + 8 + 5 + 14));
    EXPECT_EQ(packets, (std::vector<std::pair<uint8_t, size_t>>{{1, 8}, {2, 14}}));
    Session::Stats stats;
    rig.session->setOnStats([&](const Session::Stats& s) { stats = s; });
    rig.clock.advance(1s);
    EXPECT_EQ(stats.fps, 1);
    EXPECT_EQ(stats.dropped, 1);
}

TEST(SessionSend, KeyFrameWithParameterSetsGoesOutAsConfigThenFrame) {
    SessionRig rig;
    rig.session->handle(frame(1000, true, true));
    auto packets = packetsIn(readBytes(rig.tablet.fd, 5 + 32 + 5 + 1009));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], std::make_pair(uint8_t{1}, size_t{32}));    // config: 2+20+2+8
    EXPECT_EQ(packets[1], std::make_pair(uint8_t{2}, size_t{1009}));  // frame: 9+1000
    rig.session->handle(frame(500, true, false));                     // no parameter sets
    rig.session->handle(frame(300, false));
    packets = packetsIn(readBytes(rig.tablet.fd, 5 + 509 + 5 + 309));
    EXPECT_EQ(packets, (std::vector<std::pair<uint8_t, size_t>>{{2, 509}, {2, 309}}));
    EXPECT_TRUE(eventually([&] { return rig.session->pendingBytes() == 0; }));
    rig.session->stop();
}

TEST(SessionSend, BacklogAdmissionDroppingAndRecovery) {
    SessionRig rig;
    // The tablet reads nothing: the first write blocks and everything after it stays queued.
    rig.session->handle(frameOfTotal(1'000'000, true));
    rig.session->handle(frameOfTotal(1'000'000, false));
    rig.session->handle(frameOfTotal(1'000'000, false));
    EXPECT_EQ(rig.session->pendingBytes(), 3'000'000);
    rig.session->handle(frameOfTotal(1'000, false));  // exactly at the limit: admitted
    EXPECT_EQ(rig.session->pendingBytes(), 3'001'000);
    rig.session->handle(frameOfTotal(1'000, false));  // over it: dropped, waiting for a key
    rig.session->handle(frameOfTotal(1'000, false));  // still waiting
    EXPECT_EQ(rig.session->pendingBytes(), 3'001'000);
    for (int i = 0; i < 7; ++i)
        rig.session->handle(frameOfTotal(1'000'000, true));
    EXPECT_EQ(rig.session->pendingBytes(), 10'001'000);
    rig.session->handle(frameOfTotal(2'000, true));  // a key frame is admitted at 10 MB too
    EXPECT_EQ(rig.session->pendingBytes(), 10'003'000);

    Session::Stats stats;
    rig.session->setOnStats([&](const Session::Stats& s) { stats = s; });
    rig.session->tick();
    EXPECT_EQ(stats.fps, 12);
    EXPECT_EQ(stats.dropped, 2);
    EXPECT_EQ(stats.backlogKB, 10'001);

    // The end discards what is queued; the backlog drains to zero.
    rig.session->stop();
    EXPECT_TRUE(eventually([&] { return rig.session->pendingBytes() == 0; }));
    EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
}

TEST(SessionSend, AKeyFrameIsAskedForOnlyOnceTheBacklogIsWithinTheLimit) {
    SessionRig rig;
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    auto completeNext = [&](int64_t pts) {
        rig.capture.deliverFrame(pts);
        auto submissions = rig.codecs.takeSubmissions();
        EXPECT_EQ(submissions.size(), 1u);
        if (submissions.empty()) return false;
        bool forced = submissions[0].forceKey;
        submissions[0].completion(std::nullopt);
        return forced;
    };
    EXPECT_TRUE(completeNext(1));  // the first frame is always a key frame
    EXPECT_FALSE(completeNext(2));
    // The tablet stops reading: four frames fill the backlog to 4,000,000 bytes.
    rig.session->handle(frameOfTotal(1'000'000, true));
    for (int i = 0; i < 3; ++i)
        rig.session->handle(frameOfTotal(1'000'000, false));
    EXPECT_EQ(rig.session->pendingBytes(), 4'000'000);
    // Over the limit: dropped, and no key frame asked for while the link is still blocked.
    rig.session->handle(frameOfTotal(1'000, false));
    EXPECT_FALSE(completeNext(3));
    // The tablet reads again: once the backlog is within the limit the key frame is asked for,
    // with no further frame captured (the screen may stay still).
    readBytes(rig.tablet.fd, 4'000'000);
    ASSERT_TRUE(eventually([&] { return rig.session->pendingBytes() == 0; }));
    EXPECT_TRUE(completeNext(4));
    Session::Stats stats;
    rig.session->setOnStats([&](const Session::Stats& s) { stats = s; });
    rig.session->tick();
    EXPECT_EQ(stats.dropped, 1);
}

TEST(SessionSend, ControlPacketsAfterTheEndAreNotWritten) {
    SessionRig rig;
    rig.session->sendPacket(Wire::PacketType::cursorPosition, std::vector<uint8_t>(9, 0));
    auto packets = packetsIn(readBytes(rig.tablet.fd, 5 + 9));
    ASSERT_EQ(packets.size(), 1u);
    rig.session->stop();
    rig.session->sendPacket(Wire::PacketType::cursorPosition, std::vector<uint8_t>(9, 0));
    EXPECT_TRUE(drain(rig.tablet.fd).empty());
}

TEST(SessionSend, AFailedWriteEndsTheSession) {
    SessionRig rig;
    close(rig.tablet.fd);
    rig.tablet.fd = -1;
    rig.session->sendPacket(Wire::PacketType::ping, std::vector<uint8_t>(8, 0));
    EXPECT_TRUE(eventually([&] { return rig.endedCalls == 1; }));
}

// ---- Receive path ----

struct StreamingRig : SessionRig {
    explicit StreamingRig(uint8_t version = 2) {
        tablet.sendHello(2360, 1640, 60, 0, version);
        EXPECT_FALSE(session->start(false, std::nullopt));
    }
    // Sends a packet followed by a marker touch and waits until the marker has been injected,
    // so everything before it has been dispatched.
    void sendAndSettle(Wire::PacketType type, std::vector<uint8_t> payload) {
        tablet.send(type, std::move(payload));
        settle();
    }
    void settle() {
        std::vector<uint8_t> marker(9, 0);
        marker[0] = 4;  // hover at (0, 0)
        tablet.send(Wire::PacketType::touch, marker);
        std::string expected =
            "touch 4 " + std::to_string(session->displayID()) + " 0.000000 0.000000";
        ASSERT_TRUE(eventually([&] {
            auto calls = input->calls();
            return !calls.empty() && calls.back() == expected;
        }));
        std::lock_guard lock(input->mutex);
        input->log.pop_back();
    }
};

TEST(SessionReceive, DispatchesTouchesKeysAndScrolls) {
    StreamingRig rig;
    DisplayID id = rig.session->displayID();
    std::vector<uint8_t> touch{0, 0x3F, 0x00, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00};  // down .5 .25
    rig.sendAndSettle(Wire::PacketType::touch, touch);
    rig.sendAndSettle(Wire::PacketType::key, {0x00, 0x04, 0x01, 0xFF});
    rig.sendAndSettle(Wire::PacketType::scroll, {0x3F, 0x80, 0, 0, 0xC0, 0, 0, 0});  // 1, -2
    rig.sendAndSettle(Wire::PacketType::touch, {5, 0, 0, 0, 0, 0, 0, 0, 0});         // bad phase
    auto calls = rig.input->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "reset");
    EXPECT_EQ(calls[1], "touch 0 " + std::to_string(id) + " 0.500000 0.250000");
    EXPECT_EQ(calls[2], "key 4 down 31");
    EXPECT_EQ(calls[3], "scroll 1.000000 -2.000000");
    rig.session->stop();
}

TEST(SessionReceive, KeysAndScrollsFromAVersionOneTabletAreIgnored) {
    StreamingRig rig(1);
    rig.sendAndSettle(Wire::PacketType::key, {0x00, 0x04, 0x01, 0x00});
    rig.sendAndSettle(Wire::PacketType::scroll, {0x3F, 0x80, 0, 0, 0xC0, 0, 0, 0});
    EXPECT_EQ(rig.input->calls(), (std::vector<std::string>{"reset"}));
    rig.session->stop();
}

TEST(SessionReceive, UnknownTypesAndTheLongestPayloadAreConsumed) {
    StreamingRig rig;
    rig.sendAndSettle(static_cast<Wire::PacketType>(0), std::vector<uint8_t>(3, 1));
    rig.sendAndSettle(static_cast<Wire::PacketType>(200), std::vector<uint8_t>(3, 1));
    rig.sendAndSettle(Wire::PacketType::frame, std::vector<uint8_t>(1'000'000, 2));
    EXPECT_EQ(rig.endedCalls, 0);
    // One byte more is a broken stream.
    std::vector<uint8_t> header{0x03, 0x00, 0x0F, 0x42, 0x41};  // length 1,000,001
    rig.tablet.sendRaw(header);
    EXPECT_TRUE(eventually([&] { return rig.endedCalls == 1; }));
}

TEST(SessionReceive, PongsBecomeLinkTimesAndShortOnesAreIgnored) {
    StreamingRig rig;
    Session::Stats stats;
    rig.session->setOnStats([&](const Session::Stats& s) { stats = s; });
    uint64_t now = rig.clock.uptimeMicros();
    std::vector<uint8_t> shortPong;
    appendU64BE(shortPong, now);
    shortPong.pop_back();
    rig.sendAndSettle(Wire::PacketType::pong, shortPong);
    rig.clock.advance(1s);
    EXPECT_FALSE(stats.linkAvgMs);
    EXPECT_EQ(stats.summary().find("link"), std::string::npos);

    std::vector<uint8_t> pong;
    appendU64BE(pong, rig.clock.uptimeMicros() - 4'000);  // sent 4 ms ago
    pong.insert(pong.end(), {9, 9, 9, 9});                // 12 bytes: the rest is ignored
    rig.sendAndSettle(Wire::PacketType::pong, pong);
    rig.clock.advance(1s);
    ASSERT_TRUE(stats.linkAvgMs);
    EXPECT_DOUBLE_EQ(*stats.linkAvgMs, 4.0);
    EXPECT_DOUBLE_EQ(*stats.linkMaxMs, 4.0);
    rig.session->stop();
}

TEST(SessionReceive, KeyRequestWithAPayloadForcesTheNextFrame) {
    StreamingRig rig;
    rig.capture.deliverFrame(1);
    auto first = rig.codecs.takeSubmissions();
    ASSERT_EQ(first.size(), 1u);
    first[0].completion(std::nullopt);
    rig.capture.deliverFrame(2);
    auto second = rig.codecs.takeSubmissions();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_FALSE(second[0].forceKey);
    second[0].completion(std::nullopt);
    rig.sendAndSettle(Wire::PacketType::keyRequest, {1, 2, 3});
    rig.capture.deliverFrame(3);
    auto third = rig.codecs.takeSubmissions();
    ASSERT_GE(third.size(), 1u);
    EXPECT_TRUE(third[0].forceKey);
    rig.session->stop();
}

TEST(SessionEnd, ABrokenEncoderEndsTheSession) {
    SessionRig rig;
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    {
        std::lock_guard lock(rig.codecs.mutex);
        rig.codecs.broken = true;
    }
    rig.capture.deliverFrame(1);
    EXPECT_TRUE(eventually([&] { return rig.endedCalls == 1; }));
}

TEST(SessionReceive, TabletClosingTheConnectionEndsTheSessionOnce) {
    StreamingRig rig;
    rig.tablet.sendRaw({0x03, 0x00, 0x00});  // half a header
    close(rig.tablet.fd);
    rig.tablet.fd = -1;
    EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
    EXPECT_EQ(rig.endedCalls, 1);
    EXPECT_EQ(rig.codecs.invalidated, 1);
    // The reader lets go of a pressed button before the end releases the keys.
    auto calls = rig.input->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "releaseHeldButton");
    EXPECT_EQ(calls.back(), "releaseAll");
    // The capture is stopped on a thread of its own.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(rig.capture.mutex);
        return rig.capture.streamsStopped == 1;
    })) << rig.capture.streamsStarted
        << " started, " << rig.capture.streamsStopped << " stopped";
}

// ---- Keep-alive and statistics ----

TEST(SessionKeepAlive, TheLastPongMayBeThirtySecondsOldButNotMore) {
    StreamingRig rig;
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
    sink->set_pattern("%n|%l|%v");
    log::addSink(sink);
    int records = 0;
    rig.session->setOnStats([&](const Session::Stats&) { ++records; });
    std::vector<uint8_t> pong;
    appendU64BE(pong, rig.clock.uptimeMicros());
    rig.sendAndSettle(Wire::PacketType::pong, pong);  // at t = 0
    rig.clock.advance(30s);                           // ticks at 1 … 30: the last is 30.0 s old
    EXPECT_EQ(records, 30);
    EXPECT_EQ(rig.endedCalls, 0);
    drain(rig.tablet.fd, 50);
    rig.clock.advance(1s);  // 31 s: dead
    EXPECT_EQ(rig.endedCalls, 1);
    EXPECT_EQ(records, 30);  // no record and no ping in the ending tick
    log::removeSink(sink);
    auto lines = sink->last_formatted();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "stats|error|The tablet stopped answering pings; ending the session\n");
    EXPECT_EQ(lines.front().rfind("stats|info|0 fps · 0 Mbps · encode 0 ms (max 0) · link ", 0),
              0u);
}

TEST(SessionKeepAlive, ThirtyPointOneSecondsEndsTheSession) {
    StreamingRig rig;
    rig.clock.advance(900ms);  // the pong arrives 0.9 s in; ticks come at whole seconds
    std::vector<uint8_t> pong;
    appendU64BE(pong, rig.clock.uptimeMicros());
    rig.sendAndSettle(Wire::PacketType::pong, pong);
    rig.clock.advance(30s);  // up to 30.9 s: the tick at 30 s sees 29.1 s
    EXPECT_EQ(rig.endedCalls, 0);
    rig.clock.advance(100ms);  // the tick at 31 s sees 30.1 s
    EXPECT_EQ(rig.endedCalls, 1);
}

TEST(SessionKeepAlive, AWallClockJumpNeitherEndsNorKeepsTheSession) {
    StreamingRig rig;
    std::vector<uint8_t> pong;
    appendU64BE(pong, rig.clock.uptimeMicros());
    rig.sendAndSettle(Wire::PacketType::pong, pong);
    rig.clock.jumpWallClock(1h);
    rig.clock.advance(2s);
    EXPECT_EQ(rig.endedCalls, 0);
    rig.clock.jumpWallClock(-2h);
    rig.clock.advance(30s);
    EXPECT_EQ(rig.endedCalls, 1);
}

TEST(SessionKeepAlive, ATabletThatNeverAnswersStreamsOnAndIsPingedEverySecond) {
    StreamingRig rig;
    rig.clock.advance(40s);
    EXPECT_EQ(rig.endedCalls, 0);
    auto packets = packetsIn(readBytes(rig.tablet.fd, 40 * (5 + 8)));
    ASSERT_EQ(packets.size(), 40u);
    for (auto& [type, length] : packets) {
        EXPECT_EQ(type, Wire::rawValue(Wire::PacketType::ping));
        EXPECT_EQ(length, 8u);
    }
    rig.session->stop();
}

TEST(SessionStats, DroppedCountsTheEncodersSkippedFramesToo) {
    StreamingRig rig;
    Session::Stats stats;
    rig.session->setOnStats([&](const Session::Stats& s) { stats = s; });
    rig.session->handle(frame(100, false));  // before any key frame: dropped
    // Two frames inside the codec at once: the third waits, a fourth replaces it.
    for (int64_t pts = 1; pts <= 4; ++pts)
        rig.capture.deliverFrame(pts);
    rig.clock.advance(1s);
    EXPECT_EQ(stats.dropped, 2);  // one by the session, one skipped by the encoder
    rig.clock.advance(1s);
    EXPECT_EQ(stats.dropped, 0);  // both counters start again each second
    rig.session->stop();
}

}  // namespace
}  // namespace panelora::test
