// tablet-sim as a process against an in-test host that speaks the protocol with the library's
// builders and real libx264 frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "protocol/hello_reader.h"
#include "protocol/packet_reader.h"
#include "protocol/wire.h"
#include "sim_harness.h"
#include "support/clock.h"
#include "transport/socket_io.h"

namespace panelora::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

uint64_t nowMicros() {
    return uint64_t(Clock::system().uptimeMicros());
}

class TabletSimProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("tablet-sim-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }

    json report() const { return json::parse(readFile(path("report.json"))); }

    // Receive timeout for the host's reads, so a missing packet fails the test instead of
    // hanging it.
    static void setReadTimeout(int fd, std::chrono::milliseconds t) {
        timeval tv{long(t.count() / 1000), long(t.count() % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    std::filesystem::path dir_;
};

struct Pixel {
    int r, g, b;
};

std::optional<Pixel> pngPixel(const std::string& file, int& width, int& height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    width = int(image.width);
    height = int(image.height);
    const uint8_t* p = rgb.data() + (size_t(height / 2) * width + width / 2) * 3;
    return Pixel{p[0], p[1], p[2]};
}

TEST_F(TabletSimProcess, HelloPongDecodingPngAndScriptedInput) {
    SimProcess sim({"--hello", "1920x1200@60", "--client-cursor", "--version", "3", "--connections",
                    "1", "--expect-frames", "--json", path("report.json"), "--save-png",
                    path("last.png"), "--input",
                    "at 300 touch down 0.25 0.75; at 400 touch up 0.25 0.75; "
                    "at 500 key 4 down shift; at 600 scroll 0 -120",
                    "--key-request-at", "650"});
    const uint64_t connectedAt = nowMicros();
    UniqueFd host(sim.connect());

    const auto outcome = Wire::readHello(host.get(), 3000ms);
    ASSERT_EQ(outcome.kind, Wire::HelloOutcome::Kind::hello);
    EXPECT_EQ(*outcome.hello, (Hello{1920, 1200, 60, true, 3}));

    const std::vector<uint8_t> ping = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x02, 0x03};
    ASSERT_TRUE(writeAll(host.get(), Wire::packet(Wire::PacketType::ping, ping)));

    // Nine red frames, then a blue one: the saved picture must be the last.
    constexpr int frameCount = 10;
    TestEncoder encoder(320, 240);
    for (int i = 0; i < frameCount; ++i) {
        const bool last = i == frameCount - 1;
        const EncodedFrame frame =
            last ? encoder.encode(30, 60, 200) : encoder.encode(200, 40, 40, i == 0);
        ASSERT_EQ(frame.isKey, i == 0);
        ASSERT_TRUE(writeAll(host.get(), wireBytes(frame, nowMicros())));
    }

    // What the tablet sends back: the pong, four inputs and one key request.
    setReadTimeout(host.get(), 5000ms);
    Wire::PacketReader reader(host.get());
    std::map<Wire::PacketType, std::vector<std::pair<std::vector<uint8_t>, int64_t>>> got;
    int received = 0;
    while (received < 6) {
        const auto packet = reader.next();
        ASSERT_TRUE(packet) << "reader ended: " << int(reader.end()) << " after " << received;
        ASSERT_TRUE(packet->type());
        const int64_t atMs = int64_t(nowMicros() - connectedAt) / 1000;
        got[*packet->type()].push_back(
            {std::vector<uint8_t>(packet->payload.begin(), packet->payload.end()), atMs});
        ++received;
    }

    ASSERT_EQ(got[Wire::PacketType::pong].size(), 1u);
    EXPECT_EQ(got[Wire::PacketType::pong][0].first, ping);

    const auto& touches = got[Wire::PacketType::touch];
    ASSERT_EQ(touches.size(), 2u);
    EXPECT_EQ(Wire::parseTouch(touches[0].first), (Wire::Touch{0, 0.25f, 0.75f}));
    EXPECT_EQ(Wire::parseTouch(touches[1].first), (Wire::Touch{2, 0.25f, 0.75f}));
    const auto& keys = got[Wire::PacketType::key];
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(Wire::parseKey(keys[0].first), (KeyEvent{4, true, KeyEvent::Modifiers::shift}));
    const auto& scrolls = got[Wire::PacketType::scroll];
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(Wire::parseScroll(scrolls[0].first), (Wire::Scroll{0, -120}));
    ASSERT_EQ(got[Wire::PacketType::keyRequest].size(), 1u);

    // Each arrived at its time, never early (the simulator counts from its accept, which comes
    // after our connect started); late only by scheduling slack.
    const std::pair<int64_t, int64_t> timings[] = {
        {touches[0].second, 300},
        {touches[1].second, 400},
        {keys[0].second, 500},
        {scrolls[0].second, 600},
        {got[Wire::PacketType::keyRequest][0].second, 650}};
    for (const auto& [at, expected] : timings) {
        EXPECT_GE(at, expected - 5) << expected;
        EXPECT_LE(at, expected + 1000) << expected;
    }

    host.reset();
    ASSERT_EQ(sim.wait(10s), 0) << sim.output();

    const json r = report();
    EXPECT_EQ(r["connections"], 1);
    EXPECT_EQ(r["frames"]["received"], frameCount);
    EXPECT_EQ(r["frames"]["key"], 1);
    EXPECT_EQ(r["frames"]["decoded"], frameCount);
    EXPECT_EQ(r["frames"]["corrupt"], 0);
    EXPECT_EQ(r["frames"]["dropped"], 0);
    EXPECT_EQ(r["configs"], 1);
    EXPECT_EQ(r["violationCount"], 0) << r["violations"].dump();
    EXPECT_EQ(r["pings"], 1);
    EXPECT_EQ(r["pongsSent"], 1);
    EXPECT_EQ(r["inputsSent"], 4);
    EXPECT_EQ(r["keyRequestsSent"], 1);
    EXPECT_EQ(r["latencyMs"]["samples"], frameCount);
    // Same machine, same clock: latency is positive and well under the test's run time.
    EXPECT_GT(r["latencyMs"]["median"].get<double>(), 0.0);
    EXPECT_LT(r["latencyMs"]["p99"].get<double>(), 10000.0);
    EXPECT_EQ(r["lastPicture"]["width"], 320);
    EXPECT_EQ(r["lastPicture"]["height"], 240);
    EXPECT_NE(sim.output().find("decoded"), std::string::npos);

    int width = 0, height = 0;
    const auto pixel = pngPixel(path("last.png"), width, height);
    ASSERT_TRUE(pixel);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_NEAR(pixel->r, 30, 12);
    EXPECT_NEAR(pixel->g, 60, 12);
    EXPECT_NEAR(pixel->b, 200, 12);
}

TEST_F(TabletSimProcess, NonKeyFirstFrameIsAViolation) {
    SimProcess sim({"--connections", "1", "--json", path("report.json")});
    UniqueFd host(sim.connect());
    ASSERT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::hello);

    TestEncoder encoder(160, 128);
    encoder.encode(10, 200, 10, true);
    const EncodedFrame second = encoder.encode(10, 190, 20);
    ASSERT_FALSE(second.isKey);
    ASSERT_TRUE(writeAll(host.get(), wireBytes(second, nowMicros())));
    host.reset();

    EXPECT_EQ(sim.wait(10s), 1) << sim.output();
    const json r = report();
    EXPECT_EQ(r["violationCount"], 1);
    ASSERT_EQ(r["violations"].size(), 1u);
    EXPECT_NE(r["violations"][0].get<std::string>().find("first frame is not a key frame"),
              std::string::npos);
    EXPECT_EQ(r["frames"]["received"], 1);
    EXPECT_EQ(r["frames"]["decoded"], 0);
    EXPECT_EQ(r["frames"]["missingReference"], 1);
}

TEST_F(TabletSimProcess, StrictEndsAtTheFirstViolationWhileConnected) {
    SimProcess sim({"--strict", "--json", path("report.json")});
    UniqueFd host(sim.connect());
    ASSERT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::hello);
    // A cursor position of 8 bytes instead of 9.
    ASSERT_TRUE(writeAll(host.get(),
                         Wire::packet(Wire::PacketType::cursorPosition, std::vector<uint8_t>(8))));
    EXPECT_EQ(sim.wait(10s), 1) << sim.output();
    EXPECT_EQ(report()["endReason"], "violation");
    // The simulator closed its end.
    setReadTimeout(host.get(), 2000ms);
    uint8_t byte;
    EXPECT_EQ(::read(host.get(), &byte, 1), 0);
}

TEST_F(TabletSimProcess, GarbageFromTheHostIsReportedNotACrash) {
    SimProcess sim({"--connections", "1", "--json", path("report.json")});
    UniqueFd host(sim.connect());
    ASSERT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::hello);

    TestEncoder encoder(160, 128);
    ASSERT_TRUE(writeAll(host.get(), wireBytes(encoder.encode(0, 0, 255, true), nowMicros())));
    // A non-key frame whose NAL lengths add up but whose slice is noise.
    std::mt19937 noise(7);
    std::vector<uint8_t> avcc = {0, 0, 1, 0, 0x41};
    for (int i = 0; i < 255; ++i)
        avcc.push_back(uint8_t(noise()));
    ASSERT_TRUE(writeAll(host.get(), Wire::framePacket(false, nowMicros(), avcc)));
    // Unknown packet types and a computer-bound type from the host.
    ASSERT_TRUE(writeAll(host.get(), Wire::packet(Wire::PacketType{0}, std::vector<uint8_t>(3))));
    ASSERT_TRUE(
        writeAll(host.get(), Wire::packet(Wire::PacketType::touch, std::vector<uint8_t>(9))));
    // A header announcing 2,000,000 bytes.
    const std::vector<uint8_t> tooLong = {2, 0x00, 0x1E, 0x84, 0x80};
    ASSERT_TRUE(writeAll(host.get(), tooLong));

    EXPECT_EQ(sim.wait(10s), 1) << sim.output();
    const json r = report();
    EXPECT_EQ(r["violationCount"], 3) << r["violations"].dump();
    EXPECT_EQ(r["frames"]["received"], 2);
    // The decoder rejects the noise slice: counted as corrupt, not shown.
    EXPECT_EQ(r["frames"]["decoded"], 1);
    EXPECT_EQ(r["frames"]["corrupt"], 1);
    EXPECT_NE(r["violations"].dump().find("more than 1000000"), std::string::npos);
}

TEST_F(TabletSimProcess, ServesAReconnectingHostWithAGarbageHello) {
    SimProcess sim({"--hello", "garbage", "--connections", "2", "--json", path("report.json")});
    TestEncoder encoder(160, 128);
    for (int connection = 0; connection < 2; ++connection) {
        UniqueFd host(sim.connect());
        // A whole hello packet that the host rejects: the stream stays at a packet boundary.
        EXPECT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::noHello);
        for (int i = 0; i < 3; ++i) {
            const EncodedFrame f = encoder.encode(uint8_t(50 * i), 100, 100, i == 0);
            ASSERT_TRUE(writeAll(host.get(), wireBytes(f, nowMicros())));
        }
    }
    EXPECT_EQ(sim.wait(10s), 0) << sim.output();
    const json r = report();
    EXPECT_EQ(r["connections"], 2);
    EXPECT_EQ(r["frames"]["decoded"], 6);
    EXPECT_EQ(r["violationCount"], 0) << r["violations"].dump();
}

TEST_F(TabletSimProcess, StallStopsReadingSoTheHostsWritesBackUp) {
    SimProcess sim({"--stall-at", "100", "--stall-for", "1500", "--connections", "1", "--json",
                    path("report.json")});
    const auto connectedAt = std::chrono::steady_clock::now();
    UniqueFd host(sim.connect());
    ASSERT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::hello);

    // A key frame of noise, sent again and again: each copy decodes on its own.
    TestEncoder encoder(640, 480);
    const EncodedFrame key = encoder.encodeNoise(11);
    ASSERT_TRUE(key.isKey);
    // Let the first copy through before the stall begins.
    ASSERT_TRUE(writeAll(host.get(), wireBytes(key, nowMicros())));
    std::this_thread::sleep_until(connectedAt + 200ms);

    ::fcntl(host.get(), F_SETFL, ::fcntl(host.get(), F_GETFL) | O_NONBLOCK);
    int copies = 1;
    // Set once a write could not go on for a while: both socket buffers are full.
    std::optional<std::chrono::steady_clock::time_point> unblockedAt;
    bool stuck = false;
    while (copies < 400 && !unblockedAt) {
        const std::vector<uint8_t> bytes = wireBytes(key, nowMicros());
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::send(host.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) << errno;
            pollfd p{host.get(), POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0) {
                stuck = true;
                ASSERT_EQ(::poll(&p, 1, 5000), 1);
                if (!unblockedAt) unblockedAt = std::chrono::steady_clock::now();
            }
        }
        ++copies;
    }
    ASSERT_TRUE(stuck) << "the host never had to wait; " << copies << " copies sent";
    ASSERT_TRUE(unblockedAt);
    // Reading resumes only when the stall is over (100 + 1500 ms after the connection).
    EXPECT_GE(unblockedAt->time_since_epoch(), (connectedAt + 1550ms).time_since_epoch());
    host.reset();

    EXPECT_EQ(sim.wait(20s), 0) << sim.output();
    const json r = report();
    EXPECT_EQ(r["stalls"], 1);
    EXPECT_EQ(r["frames"]["received"], copies);
    EXPECT_EQ(r["frames"]["decoded"], copies);
    EXPECT_EQ(r["violationCount"], 0) << r["violations"].dump();
}

TEST_F(TabletSimProcess, LateHelloLatePongAndPeriodicKeyRequests) {
    SimProcess sim({"--hello-delay", "200", "--pong-delay", "300", "--key-request-every", "100",
                    "--connections", "1", "--json", path("report.json")});
    const auto connectedAt = std::chrono::steady_clock::now();
    UniqueFd host(sim.connect());
    ASSERT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::hello);
    // The hello comes first even though a key request was due at 100 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - connectedAt, 195ms);

    const std::vector<uint8_t> ping = {0, 0, 0, 0, 0, 0, 0, 42};
    const auto pingedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(writeAll(host.get(), Wire::packet(Wire::PacketType::ping, ping)));
    setReadTimeout(host.get(), 3000ms);
    Wire::PacketReader reader(host.get());
    int keyRequests = 0;
    for (;;) {
        const auto packet = reader.next();
        ASSERT_TRUE(packet);
        if (packet->type() == Wire::PacketType::keyRequest) {
            ++keyRequests;
            continue;
        }
        ASSERT_EQ(packet->type(), Wire::PacketType::pong);
        EXPECT_EQ(std::vector<uint8_t>(packet->payload.begin(), packet->payload.end()), ping);
        EXPECT_GE(std::chrono::steady_clock::now() - pingedAt, 295ms);
        break;
    }
    // Requests at 300 and 400 ms at least, while the pong was held back.
    EXPECT_GE(keyRequests, 2);
    host.reset();
    EXPECT_EQ(sim.wait(10s), 0) << sim.output();
    EXPECT_GE(report()["keyRequestsSent"].get<int>(), 4);
}

TEST_F(TabletSimProcess, NoPongMeansNoPong) {
    SimProcess sim({"--no-pong", "--connections", "1"});
    UniqueFd host(sim.connect());
    ASSERT_EQ(Wire::readHello(host.get(), 3000ms).kind, Wire::HelloOutcome::Kind::hello);
    ASSERT_TRUE(
        writeAll(host.get(), Wire::packet(Wire::PacketType::ping, std::vector<uint8_t>(8, 1))));
    setReadTimeout(host.get(), 400ms);
    uint8_t byte;
    EXPECT_EQ(::read(host.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    host.reset();
    EXPECT_EQ(sim.wait(10s), 0) << sim.output();
}

TEST_F(TabletSimProcess, SilentTabletUntilTheDurationEnds) {
    SimProcess sim({"--hello", "none", "--duration", "1500", "--expect-frames", "--json",
                    path("report.json")});
    UniqueFd host(sim.connect());
    EXPECT_EQ(Wire::readHello(host.get(), 300ms).kind, Wire::HelloOutcome::Kind::noHello);
    // No frame sent: --expect-frames makes the run fail with status 3; closing the connection
    // at the end is the simulator's doing and no violation.
    EXPECT_EQ(sim.wait(10s), 3) << sim.output();
    const json r = report();
    EXPECT_EQ(r["endReason"], "duration");
    EXPECT_EQ(r["violationCount"], 0);
    setReadTimeout(host.get(), 2000ms);
    uint8_t byte;
    EXPECT_EQ(::read(host.get(), &byte, 1), 0);
}

}  // namespace
}  // namespace panelora::testing
