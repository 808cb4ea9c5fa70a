#include "session/session.h"

#include "protocol/byte_order.h"
#include "session_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Packets = std::vector<std::pair<uint8_t, size_t>>;  // type and payload length
using Wire::PacketType;

// A frame output whose whole send buffer (header and flags included) is `total` bytes.
H264Encoder::Output frameOfTotal(size_t total, bool isKey) {
    const size_t payload = total - Wire::headerSize - Wire::framePayloadPrefix;
    return {isKey, {}, {}, std::vector<uint8_t>(payload, 0xAB), 42, 3};
}

Packets packetsIn(const std::vector<uint8_t>& bytes) {
    Packets packets;
    for (size_t at = 0; at + 5 <= bytes.size(); at += 5 + readU32BE(bytes.data() + at + 1))
        packets.push_back({bytes[at], readU32BE(bytes.data() + at + 1)});
    return packets;
}

std::vector<uint8_t> pongFrom(uint64_t micros) {
    std::vector<uint8_t> pong(8);
    writeU64BE(pong.data(), micros);
    return pong;
}

// A session on one end of a socket pair, the tablet's end kept by the test.
struct SessionRig : SessionFakes {
    SocketPair pair;
    std::atomic<int> endedCalls{0};
    std::shared_ptr<Session> session;

    explicit SessionRig(std::chrono::milliseconds helloTimeout = 100ms) {
        SessionEnvironment env = environment();
        env.helloTimeout = helloTimeout;
        session = Session::create(pair.take(), env);
        session->setOnEnded([this] { ++endedCalls; });
    }
    // The session's threads hold it beyond the rig; end it while the fakes still exist.
    ~SessionRig() {
        session->stop();
        eventually([&] { return session->socketClosed(); });
    }

    void send(PacketType type, const std::vector<uint8_t>& payload) {
        pair.send(Wire::packet(type, payload));
    }
    Session::Stats statsOfTick() {
        Session::Stats stats;
        session->setOnStats([&](const Session::Stats& s) { stats = s; });
        session->tick();
        session->setOnStats(nullptr);  // the timer's later ticks must not reach `stats`
        return stats;
    }
    // Captures a frame and completes what the codec got with nothing; whether it was forced.
    bool completeNext(int64_t pts) {
        const size_t before = codecs.count();
        capture.deliverFrame(pts);
        EXPECT_EQ(codecs.count(), before + 1);
        if (codecs.count() == before) return false;
        codecs.fail(before);
        return codecs.at(before).forceKey;
    }
};

// A session that read a hello of a 2360 × 1640, 60 Hz tablet and streams.
struct StreamingRig : SessionRig {
    explicit StreamingRig(uint8_t version = 2) {
        send(PacketType::hello, join({hex("0938 0668 3C 00"), {version}}));
        EXPECT_FALSE(session->start(false, std::nullopt));
    }
    // Sends a packet followed by a marker touch and waits until the marker has been injected,
    // so everything before it has been dispatched.
    void sendAndSettle(PacketType type, const std::vector<uint8_t>& payload) {
        send(type, payload);
        send(PacketType::touch, hex("04 00000000 00000000"));  // hover at (0, 0)
        const std::string marker =
            "touch 4 " + std::to_string(session->displayID()) + " 0.000000 0.000000";
        ASSERT_TRUE(eventually([&] {
            auto calls = input->calls();
            return !calls.empty() && calls.back() == marker;
        }));
        std::lock_guard lock(input->mutex);
        input->log.pop_back();
    }
};

TEST(SessionText, StatsSummaries) {
    const std::pair<Session::Stats, std::string> cases[] = {
        {{60, 12.4, 4.2, 9.7, 3.1, 5.4, 0, 0},
         "60 fps · 12 Mbps · encode 4 ms (max 10) · link 3 ms (max 5)"},
        {{0, 0, 0, 0, std::nullopt, std::nullopt, 0, 0}, "0 fps · 0 Mbps · encode 0 ms (max 0)"},
        {{30, 8, 2, 3, std::nullopt, std::nullopt, 5, 1},
         "30 fps · 8 Mbps · encode 2 ms (max 3) · dropped 5"},
        {{1, 0.5, 0.5, 1.5, 2.5, 2.5, 1, 0},
         "1 fps · 0 Mbps · encode 0 ms (max 2) · link 2 ms (max 2) · dropped 1"},
    };
    for (const auto& [stats, summary] : cases)
        EXPECT_EQ(stats.summary(), summary);
}

// ---- End path ----

// The tablet sees the end of the stream at once; no reader was started, so the send queue's
// release closes the socket. A start afterwards fails and never touches the closed descriptor,
// whose number is handed out again to a connection that is not the session's.
TEST(SessionEnd, StopFromManyThreadsEndsOnceClosesTheSocketAndFailsALaterStart) {
    for (int round = 0; round < 20; ++round) {
        SessionRig rig;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&] { rig.session->stop(); });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(rig.endedCalls, 1);
        EXPECT_TRUE(rig.session->hasEnded());
        EXPECT_EQ(rig.input->calls(), std::vector<std::string>{"releaseAll"});
        EXPECT_TRUE(closedWithin(rig.pair.peer, 1s));
        ASSERT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
        SocketPair other;
        other.send(hex("05 00000007 0AAC 0800 78 00 02"));
        auto error = rig.session->start(false, std::nullopt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "The tablet disconnected");
        EXPECT_EQ(readFor(other.fd, 12).size(), 12u);  // the hello is still there
        EXPECT_EQ(rig.displays.aliveCount(), 0u);
    }
}

// A stop while start() waits for the hello wakes it at once, not after the 3 s timeout; whatever
// the order, the socket is closed exactly when both have let go.
TEST(SessionEnd, AStopDuringStartWakesItAndTheSocketClosesOnceBothLetGo) {
    for (int round = 0; round < 10; ++round) {
        SessionRig rig(3s);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
            rig.session->stop();
        });
        const auto started = std::chrono::steady_clock::now();
        auto error = rig.session->start(false, std::nullopt);
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << round;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), "The tablet disconnected");
        EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); })) << round;
        EXPECT_EQ(rig.displays.aliveCount(), 0u);
    }
}

TEST(SessionEnd, NothingIsWrittenAfterTheEnd) {
    // A pipe: shutting it down does nothing, so only the session's own checks keep the bytes out.
    SessionFakes fakes;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    auto session = Session::create(pipeFds[1], fakes.environment());
    session->sendPacket(PacketType::ping, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(readFor(pipeFds[0], 13).size(), 13u);
    session->stop();
    session->sendPacket(PacketType::ping, std::vector<uint8_t>(8, 0));
    session->handle(frameOfTotal(100, true));
    session.reset();  // the send queue runs what was queued, then closes the pipe
    EXPECT_TRUE(readFor(pipeFds[0], 1).empty());
    close(pipeFds[0]);
}

TEST(SessionEnd, ABrokenEncoderOrAFailedWriteEndsTheSession) {
    for (bool encoder : {true, false}) {
        SessionRig rig;
        if (encoder) {
            ASSERT_FALSE(rig.session->start(false, std::nullopt));
            rig.codecs.refuseFrames(INT_MAX);
            rig.capture.deliverFrame(1);
        } else {
            rig.pair.closePeer();
            rig.session->sendPacket(PacketType::ping, std::vector<uint8_t>(8, 0));
        }
        EXPECT_TRUE(eventually([&] { return rig.endedCalls == 1; })) << encoder;
    }
}

TEST(SessionEnd, TheDisplayIsReleasedOffTheEndingThreadAndTheNextStartWaitsForIt) {
    SessionFakes fakes;
    auto release = SerialQueue::create("release");
    auto environment = fakes.environment();
    environment.displayRelease = release;
    SocketPair firstPair, secondPair;
    auto first = Session::create(firstPair.take(), environment);
    ASSERT_FALSE(first->start(false, std::nullopt));
    const DisplayID id = first->displayID();

    std::promise<void> gate;
    release->post([done = gate.get_future().share()] { done.wait(); });  // a slow release
    const int live = Session::liveSessions();
    first->stop();
    std::weak_ptr<Session> ended = first;
    first.reset();
    EXPECT_TRUE(fakes.displays.isAlive(id)) << "released on the ending thread";
    EXPECT_EQ(Session::liveSessions(), live) << "counted as gone before its display";

    auto second = Session::create(secondPair.take(), environment);
    auto started =
        std::async(std::launch::async, [&] { return second->start(false, std::nullopt); });
    EXPECT_EQ(started.wait_for(500ms), std::future_status::timeout) << "did not wait";
    EXPECT_EQ(fakes.displays.aliveCount(), 1u);
    gate.set_value();
    EXPECT_FALSE(started.get());
    EXPECT_FALSE(fakes.displays.isAlive(id));
    EXPECT_TRUE(fakes.displays.isAlive(second->displayID()));
    EXPECT_TRUE(eventually([&] { return ended.expired(); }));
    second->stop();
    release->flush();
    EXPECT_EQ(fakes.displays.aliveCount(), 0u);
}

// ---- Start-up ----

TEST(SessionStart, HelloNegotiatesTheProfileAndClientCursorStartsATracker) {
    SessionRig rig;
    rig.send(PacketType::hello, hex("0AAC 0800 78 01 02"));  // 2732 × 2048, 120 Hz, cursor
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    EXPECT_EQ(rig.session->profile().summary(), "2732×2048 @ 60 fps · looks like 1708×1280");
    EXPECT_FALSE(rig.capture.configuration->showsCursor);
    ASSERT_NE(rig.tracker, nullptr);
    EXPECT_EQ(rig.tracker->started, 1);
    rig.clock.runUntilIdle();  // the arrangement starts on the main queue
    ASSERT_NE(rig.arrangement, nullptr);
    EXPECT_EQ(rig.displays.settings.back().modes.at(0).width, 1708u);

    rig.session->moveDisplay(DisplayArrangement::Side::left);
    rig.session->stop();
    EXPECT_EQ(rig.tracker->stopped, 1);
    rig.session->moveDisplay(DisplayArrangement::Side::right);  // after the end: nothing
    rig.clock.runUntilIdle();
    EXPECT_EQ(rig.arrangement->calls,
              (std::vector<std::string>{"start", "move left", "unregister"}));
}

TEST(SessionStart, FailuresCarryTheirOwnErrors) {
    const std::pair<std::function<void(SessionRig&)>, std::string> cases[] = {
        {[](SessionRig& r) { r.displays.refuse = true; }, "Couldn't create the virtual display"},
        {[](SessionRig& r) { r.codecs.refuse = true; }, "Couldn't start the video encoder"},
        {[](SessionRig& r) { r.capture.startError = "The user declined"; }, "The user declined"},
    };
    for (const auto& [breakIt, description] : cases) {
        SessionRig rig;
        breakIt(rig);
        auto error = rig.session->start(false, std::nullopt);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description(), description);
        // A display made before the failure stays until the owner's stop(), and goes only
        // after onEnded returned.
        const DisplayID id = rig.session->displayID();
        bool aliveDuringOnEnded = false;
        rig.session->setOnEnded([&] { aliveDuringOnEnded = rig.displays.isAlive(id); });
        rig.session->stop();
        EXPECT_EQ(aliveDuringOnEnded, !rig.displays.refuse) << description;
        EXPECT_EQ(rig.displays.aliveCount(), 0u);
    }
}

// ---- Send path ----

// Without a hello the fallback profile streams with the cursor drawn into the picture.
TEST(SessionSend, NoHelloAndAFirstOutputThatIsNotAKeyFrameIsDroppedAndAKeyFrameRequested) {
    SessionRig rig;
    ASSERT_FALSE(rig.session->start(false, 1.5));  // settings do not matter without a hello
    EXPECT_EQ(rig.session->profile(), StreamProfile::fallback);
    ASSERT_TRUE(rig.capture.configuration);
    EXPECT_TRUE(rig.capture.configuration->showsCursor);
    EXPECT_EQ(rig.tracker, nullptr);
    rig.capture.deliverFrame(1'000);
    ASSERT_EQ(rig.codecs.count(), 1u);
    // The codec answers with a non-key frame: dropped, and a key frame is asked for. The screen
    // is static, so the encoder's fallback re-encodes the last frame as a key frame.
    rig.codecs.completeOk(0, false);
    rig.clock.advance(150ms);
    ASSERT_EQ(rig.codecs.count(), 2u);
    EXPECT_TRUE(rig.codecs.at(1).forceKey);
    EXPECT_TRUE(drain(rig.pair.peer, 50ms).empty());
    // The key frame that comes back goes out, config first; one without parameter sets, and the
    // frames after it, as frames alone.
    rig.codecs.completeOk(1, true);
    rig.session->handle(frameOfTotal(500, true));
    rig.session->handle(frameOfTotal(300, false));
    EXPECT_EQ(packetsIn(readFor(rig.pair.peer, 5 + 6 + 5 + 14 + 500 + 300)),
              (Packets{{1, 6}, {2, 14}, {2, 495}, {2, 295}}));  // config: 2 + 1 + 2 + 1
}

// A key frame is asked for only once the backlog is within the limit again, with no further
// frame captured (the screen may stay still): one asked for while the link is blocked would
// only pile up key frames, which are admitted at any backlog.
TEST(SessionSend, BacklogAdmissionDroppingAndRecovery) {
    SessionRig rig;
    ASSERT_FALSE(rig.session->start(false, std::nullopt));
    EXPECT_TRUE(rig.completeNext(1));  // the first frame is always a key frame
    EXPECT_FALSE(rig.completeNext(2));
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
    EXPECT_FALSE(rig.completeNext(3));
    for (int i = 0; i < 7; ++i)
        rig.session->handle(frameOfTotal(1'000'000, true));
    EXPECT_EQ(rig.session->pendingBytes(), 10'001'000);
    rig.session->handle(frameOfTotal(2'000, true));  // a key frame is admitted at 10 MB too
    EXPECT_EQ(rig.session->pendingBytes(), 10'003'000);
    const auto stats = rig.statsOfTick();
    EXPECT_EQ(stats.fps, 12);
    EXPECT_EQ(stats.dropped, 2);
    EXPECT_EQ(stats.backlogKB, 10'001);

    rig.session->handle(frameOfTotal(1'000, false));  // over the limit again
    EXPECT_FALSE(rig.completeNext(4));
    readFor(rig.pair.peer, 10'003'000);
    ASSERT_TRUE(eventually([&] { return rig.session->pendingBytes() == 0; }));
    EXPECT_TRUE(rig.completeNext(5));
    EXPECT_EQ(rig.statsOfTick().dropped, 1);
    // The end discards what is queued; the backlog drains to zero.
    for (int i = 0; i < 4; ++i)
        rig.session->handle(frameOfTotal(1'000'000, true));
    rig.session->stop();
    EXPECT_TRUE(eventually([&] { return rig.session->pendingBytes() == 0; }));
    EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
}

// ---- Receive path ----

// A version 1 tablet sends no keys or scrolls: any that come are ignored. Unknown types and the
// longest payload are consumed, a key request with a payload forces the next frame, and one byte
// more than the longest payload is a broken stream.
TEST(SessionReceive, DispatchesWhatTheTabletSends) {
    for (uint8_t version : {2, 1}) {
        StreamingRig rig(version);
        EXPECT_TRUE(rig.completeNext(1));
        EXPECT_FALSE(rig.completeNext(2));
        rig.sendAndSettle(PacketType::touch, hex("00 3F000000 3E800000"));  // down at 0.5, 0.25
        rig.sendAndSettle(PacketType::key, hex("0004 01 FF"));
        rig.sendAndSettle(PacketType::scroll, hex("3F800000 C0000000"));    // 1, -2
        rig.sendAndSettle(PacketType::touch, hex("05 00000000 00000000"));  // bad phase: dropped
        rig.sendAndSettle(PacketType{0}, std::vector<uint8_t>(3, 1));
        rig.sendAndSettle(PacketType{200}, std::vector<uint8_t>(3, 1));
        rig.sendAndSettle(PacketType::frame, std::vector<uint8_t>(1'000'000, 2));
        rig.sendAndSettle(PacketType::keyRequest, hex("010203"));
        EXPECT_TRUE(rig.completeNext(3));
        std::vector<std::string> expected{
            "reset", "touch 0 " + std::to_string(rig.session->displayID()) + " 0.500000 0.250000"};
        if (version == 2)
            expected.insert(expected.end(), {"key 4 down 31", "scroll 1.000000 -2.000000"});
        EXPECT_EQ(rig.input->calls(), expected);
        EXPECT_EQ(rig.endedCalls, 0);
        rig.pair.send(hex("03 000F4241"));
        EXPECT_TRUE(eventually([&] { return rig.endedCalls == 1; }));
    }
}

// A tablet that never answered (a short pong is no answer) is pinged every second and streams on.
TEST(SessionReceive, PongsBecomeLinkTimesAndShortOnesAreIgnored) {
    StreamingRig rig;
    auto shortPong = pongFrom(rig.clock.uptimeMicros());
    shortPong.pop_back();
    rig.sendAndSettle(PacketType::pong, shortPong);
    EXPECT_FALSE(rig.statsOfTick().linkAvgMs);
    rig.clock.advance(40s);
    EXPECT_EQ(rig.endedCalls, 0);
    EXPECT_EQ(packetsIn(readFor(rig.pair.peer, 40 * (5 + 8))), Packets(40, {6, 8}));
    // Sent 4 ms ago; 12 bytes: the rest is ignored.
    rig.sendAndSettle(PacketType::pong,
                      join({pongFrom(rig.clock.uptimeMicros() - 4'000), hex("09090909")}));
    const auto stats = rig.statsOfTick();
    ASSERT_TRUE(stats.linkAvgMs);
    EXPECT_DOUBLE_EQ(*stats.linkAvgMs, 4.0);
    EXPECT_DOUBLE_EQ(*stats.linkMaxMs, 4.0);
}

TEST(SessionReceive, TabletClosingTheConnectionEndsTheSessionOnce) {
    StreamingRig rig;
    rig.pair.send(hex("030000"));  // half a header
    rig.pair.closePeer();
    EXPECT_TRUE(eventually([&] { return rig.session->socketClosed(); }));
    EXPECT_EQ(rig.endedCalls, 1);
    EXPECT_EQ(rig.codecs.invalidations, 1);
    // The reader lets go of a pressed button before the end releases the keys.
    auto calls = rig.input->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "releaseHeldButton");
    EXPECT_EQ(calls.back(), "releaseAll");
    // The capture is stopped on a thread of its own.
    EXPECT_TRUE(rig.capture.waitStopped());
}

// ---- Keep-alive and statistics ----

// A pong at 0 s lives through the tick at 30 s (30.0 s old); one at 0.9 s is 29.1 s old then and
// ends the session at the tick at 31 s (30.1 s). The ending tick sends no record or ping. The age
// is measured on the uptime clock: a jump of the wall clock changes nothing.
TEST(SessionKeepAlive, TheLastPongMayBeThirtySecondsOldButNotMore) {
    for (auto pongAt : {0ms, 900ms}) {
        StreamingRig rig;
        LogCapture log;
        int records = 0;
        rig.session->setOnStats([&](const Session::Stats&) { ++records; });
        rig.clock.advance(pongAt);
        rig.sendAndSettle(PacketType::pong, pongFrom(rig.clock.uptimeMicros()));
        rig.clock.jumpWallClock(pongAt == 0ms ? -2h : 1h);
        rig.clock.advance(30s - pongAt);
        EXPECT_EQ(records, 30);
        EXPECT_EQ(rig.endedCalls, 0);
        rig.clock.advance(1s);
        EXPECT_EQ(rig.endedCalls, 1);
        EXPECT_EQ(records, 30);
        const auto lines = log.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(),
                  "stats|error|The tablet stopped answering pings; ending the session");
    }
}

TEST(SessionStats, DroppedCountsTheEncodersSkippedFramesToo) {
    StreamingRig rig;
    rig.session->handle(frameOfTotal(100, false));  // before any key frame: dropped
    // Two frames inside the codec at once: the third waits, a fourth replaces it.
    for (int64_t pts = 1; pts <= 4; ++pts)
        rig.capture.deliverFrame(pts);
    EXPECT_EQ(rig.statsOfTick().dropped, 2);  // one by the session, one skipped by the encoder
    EXPECT_EQ(rig.statsOfTick().dropped, 0);  // both counters start again each second
}

}  // namespace
}  // namespace panelora::test
