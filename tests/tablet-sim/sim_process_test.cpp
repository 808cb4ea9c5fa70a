// tablet-sim as a process against an in-test host that speaks the protocol with the library's
// builders and frames of the product's own codec (libx264). Its stall runs end to end, against
// the host's backlog (the end-to-end tests).
#include <random>
#include <sstream>

#include "pictures.h"
#include "platform/linux/codec/libav_video_codec.h"
#include "protocol/hello_reader.h"
#include "protocol/packet_reader.h"
#include "support/clock.h"
#include "test_prelude.h"
#include "tool_rig.h"

namespace panelora::test {
namespace {

using json = nlohmann::json;
using Kind = Wire::HelloOutcome::Kind;
using Wire::PacketType;

uint64_t nowMicros() {
    return uint64_t(Clock::system().uptimeMicros());
}

// Pictures encoded one at a time, as the computer sends them: a config packet before a key
// frame that carries parameter sets.
class Frames {
  public:
    Frames(int32_t width, int32_t height)
        : width_(width),
          height_(height),
          codec_(LibavVideoCodecFactory(LibavVideoCodecFactory::Encoders::softwareOnly)
                     .create(VideoCodecSettings::forProfile(
                         {width, height, 60, 2'000'000, width / 2, height / 2}))) {
        if (!codec_) throw std::runtime_error("no libx264 codec");
    }
    ~Frames() { codec_->invalidate(); }

    // A picture of one colour (video-range Y, Cb, Cr).
    EncodedSample encode(uint8_t y, uint8_t u, uint8_t v, bool key = false) {
        std::promise<std::optional<EncodedSample>> done;
        auto result = done.get_future();
        if (!codec_->encode(solidPicture(width_, height_, y, u, v), Clock::system().uptimeNanos(),
                            key,
                            [&](std::optional<EncodedSample> sample) { done.set_value(sample); }))
            throw std::runtime_error("the codec refused a frame");
        return result.get().value();  // throws when the codec failed
    }
    static std::vector<uint8_t> packets(const EncodedSample& s) {
        if (s.sps && s.pps)
            return *Wire::configAndFramePackets(*s.sps, *s.pps, nowMicros(), s.avcc);
        return Wire::framePacket(!s.notSync, nowMicros(), s.avcc);
    }

  private:
    int32_t width_, height_;
    std::unique_ptr<VideoCodec> codec_;
};

// Report members and the numbers they must hold: "frames/decoded=6 violationCount=0".
void expectReport(const json& report, const std::string& members) {
    std::istringstream in(members);
    for (std::string member; in >> member;) {
        const size_t equals = member.find('=');
        std::string pointer = "/";  // appended: GCC 12 at -O3 warns on "/" + std::string
        pointer.append(member, 0, equals);
        EXPECT_EQ(report[json::json_pointer(pointer)], std::stoi(member.substr(equals + 1)))
            << member << " in " << report.dump();
    }
}

class TabletSimProcess : public ::testing::Test {
  protected:
    // tablet-sim with `args` and a JSON report, and the host's connection to it.
    bool start(std::vector<std::string> args) {
        args.insert(args.end(), {"--json", dir_.file("report.json")});
        std::string error;
        sim_ = TabletSim::start(args, 0, &error);
        EXPECT_TRUE(sim_) << error;
        if (!sim_) return false;
        connectedAt_ = std::chrono::steady_clock::now();
        host_ = UniqueFd(sim_->connect());
        // A receive timeout, so that a missing packet fails the test instead of hanging it.
        const timeval timeout{5, 0};
        setsockopt(host_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return bool(host_);
    }
    void send(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(writeAll(host_.get(), bytes)); }
    // Closes the connection and waits for the simulator to end; its exit status.
    std::optional<int> finish() {
        host_.reset();
        return sim_->process().wait(20s);
    }
    json report() const { return json::parse(readFile(dir_.file("report.json"))); }

    TempDir dir_;
    std::unique_ptr<TabletSim> sim_;
    UniqueFd host_;
    std::chrono::steady_clock::time_point connectedAt_;
};

// (The saved picture is checked end to end, in the program's tests.)
TEST_F(TabletSimProcess, HelloPongDecodingAndScriptedInput) {
    ASSERT_TRUE(
        start({"--hello", "1920x1200@60", "--client-cursor", "--version", "3", "--connections", "1",
               "--expect-frames", "--save-png", dir_.file("last.png"), "--input",
               "at 300 touch down 0.25 0.75; at 400 touch up 0.25 0.75; at 500 key 4 down shift; "
               "at 600 scroll 0 -120",
               "--key-request-at", "650"}));
    const auto hello = Wire::readHello(host_.get(), 3s);
    ASSERT_EQ(hello.kind, Kind::hello);
    EXPECT_EQ(hello.hello, (Hello{1920, 1200, 60, true, 3}));
    send(Wire::packet(PacketType::ping, hex("DEADBEEF00010203")));

    Frames frames(320, 240);
    for (int i = 0; i < 10; ++i)
        send(Frames::packets(frames.encode(uint8_t(16 + 20 * i), 128, 128, i == 0)));

    // What the tablet sends back: the pong, four inputs and one key request, each at its time,
    // never early (the simulator counts from its accept, after our connect began) and late only
    // by scheduling slack.
    Wire::PacketReader reader(host_.get());
    std::map<PacketType, std::vector<std::pair<std::vector<uint8_t>, int64_t>>> got;
    for (int received = 0; received < 6; ++received) {
        const auto packet = reader.next();
        ASSERT_TRUE(packet && packet->type()) << "after " << received << " packets";
        got[*packet->type()].push_back({{packet->payload.begin(), packet->payload.end()},
                                        std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - connectedAt_)
                                            .count()});
    }
    EXPECT_EQ(got[PacketType::pong].at(0).first, hex("DEADBEEF00010203"));
    const std::tuple<PacketType, size_t, std::vector<uint8_t>, int64_t> inputs[] = {
        {PacketType::touch, 0, hex("00 3E800000 3F400000"), 300},  // down at 0.25, 0.75
        {PacketType::touch, 1, hex("02 3E800000 3F400000"), 400},  // up
        {PacketType::key, 0, hex("0004 01 01"), 500},              // a, down, shift
        {PacketType::scroll, 0, hex("00000000 C2F00000"), 600},    // 0, -120
        {PacketType::keyRequest, 0, {}, 650},
    };
    for (const auto& [type, index, payload, atMs] : inputs) {
        ASSERT_GT(got[type].size(), index);
        EXPECT_EQ(got[type][index].first, payload) << atMs;
        EXPECT_GE(got[type][index].second, atMs - 5);
        EXPECT_LE(got[type][index].second, atMs + 1000);
    }

    ASSERT_EQ(finish(), 0) << sim_->process().output();
    const json r = report();
    expectReport(r,
                 "connections=1 frames/received=10 frames/key=1 frames/decoded=10 "
                 "frames/corrupt=0 configs=1 violationCount=0 pings=1 pongsSent=1 "
                 "inputsSent=4 keyRequestsSent=1 latencyMs/samples=10 "
                 "lastPicture/width=320");
    EXPECT_GT(r["latencyMs"]["median"].get<double>(), 0.0);  // same machine, same clock
}

// A reconnecting host: each connection gets a whole hello packet that the host rejects (the
// stream stays at a packet boundary). The first is served cleanly; the second's garbage is
// reported, not a crash.
TEST_F(TabletSimProcess, ServesAReconnectingHostAndReportsItsGarbage) {
    ASSERT_TRUE(start({"--hello", "garbage", "--connections", "2"}));
    EXPECT_EQ(Wire::readHello(host_.get(), 3s).kind, Kind::noHello);
    Frames frames(160, 128);
    for (int i = 0; i < 3; ++i)
        send(Frames::packets(frames.encode(uint8_t(50 + 50 * i), 128, 128, i == 0)));
    host_ = UniqueFd(sim_->connect());
    EXPECT_EQ(Wire::readHello(host_.get(), 3s).kind, Kind::noHello);
    // A non-key first frame, which has nothing to refer to, then a key frame.
    Frames again(160, 128);
    const auto key = again.encode(41, 240, 110, true);
    send(Frames::packets(again.encode(110, 80, 100)));
    send(Frames::packets(key));
    // A non-key frame whose NAL lengths add up but whose slice is noise.
    std::mt19937 noise(7);
    std::vector<uint8_t> avcc = hex("00000100 41");
    for (int i = 0; i < 255; ++i)
        avcc.push_back(uint8_t(noise()));
    send(Wire::framePacket(false, nowMicros(), avcc));
    // An unknown packet type, a computer-bound type, and a header announcing 2,000,000 bytes.
    send(hex("00 00000003 000000  03 00000009 000000000000000000  02 001E8480"));
    EXPECT_EQ(finish(), 1) << sim_->process().output();
    const json r = report();
    // The decoder rejects the noise slice: counted as corrupt, not shown.
    expectReport(r,
                 "connections=2 violationCount=4 frames/received=6 frames/decoded=4 "
                 "frames/corrupt=1 frames/missingReference=1");
    EXPECT_NE(r["violations"].dump().find("more than 1000000"), std::string::npos);
}

// --strict: the first violation ends the run while connected.
TEST_F(TabletSimProcess, LateHelloLatePongPeriodicKeyRequestsAndAStrictEnd) {
    ASSERT_TRUE(start(
        {"--hello-delay", "200", "--pong-delay", "300", "--key-request-every", "100", "--strict"}));
    ASSERT_EQ(Wire::readHello(host_.get(), 3s).hello, (Hello{2732, 2048, 120, false, 2}));
    // The default hello comes first even though a key request was due at 100 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - connectedAt_, 195ms);
    const auto pingedAt = std::chrono::steady_clock::now();
    send(Wire::packet(PacketType::ping, hex("000000000000002A")));
    Wire::PacketReader reader(host_.get());
    int keyRequests = 0;
    std::optional<Wire::Packet> packet;
    while ((packet = reader.next()) && packet->type() == PacketType::keyRequest)
        ++keyRequests;
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->type(), PacketType::pong);
    EXPECT_EQ(std::vector<uint8_t>(packet->payload.begin(), packet->payload.end()),
              hex("000000000000002A"));
    EXPECT_GE(std::chrono::steady_clock::now() - pingedAt, 295ms);
    EXPECT_GE(keyRequests, 2);  // at 300 and 400 ms at least, while the pong was held back
    send(Wire::packet(PacketType::cursorPosition, std::vector<uint8_t>(8)));  // 8 bytes, not 9
    EXPECT_EQ(sim_->process().wait(10s), 1) << sim_->process().output();
    EXPECT_EQ(report()["endReason"], "violation");
    EXPECT_GE(report()["keyRequestsSent"].get<int>(), 4);
}

TEST_F(TabletSimProcess, SilentTabletWithoutPongsUntilTheDurationEnds) {
    ASSERT_TRUE(start({"--hello", "none", "--no-pong", "--duration", "1500", "--expect-frames"}));
    EXPECT_EQ(Wire::readHello(host_.get(), 300ms).kind, Kind::noHello);
    send(Wire::packet(PacketType::ping, std::vector<uint8_t>(8, 1)));
    EXPECT_TRUE(drain(host_.get(), 400ms).empty());
    // No frame sent: --expect-frames makes the run fail with status 3; closing the connection
    // at the end is the simulator's doing and no violation.
    EXPECT_EQ(sim_->process().wait(10s), 3) << sim_->process().output();
    EXPECT_EQ(report()["endReason"], "duration");
    expectReport(report(), "violationCount=0");
    EXPECT_TRUE(closedWithin(host_.get(), 2s));
}

}  // namespace
}  // namespace panelora::test
