// Test-side helpers for running tablet-sim as a process against an in-test host: a libx264
// encoder producing real frames in the wire's AVCC form, and the spawned simulator.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace panelora::testing {

struct EncodedFrame {
    bool isKey = false;
    std::vector<uint8_t> avcc;  // 4-byte length prefixed NAL units, without SPS and PPS
    std::vector<uint8_t> sps;   // empty unless the frame carried one
    std::vector<uint8_t> pps;
};

// libavcodec's libx264 encoder, ultrafast and zero-latency: one output per input, no B-frames.
class TestEncoder {
  public:
    TestEncoder(int width, int height);
    ~TestEncoder();
    TestEncoder(const TestEncoder&) = delete;
    TestEncoder& operator=(const TestEncoder&) = delete;

    // Encodes a frame of one solid colour (BT.601 video range).
    EncodedFrame encode(uint8_t r, uint8_t g, uint8_t b, bool forceKey = false);
    // Encodes a key frame of seeded noise: large, and decodable on its own.
    EncodedFrame encodeNoise(uint32_t seed);

  private:
    EncodedFrame encodeCurrent(bool forceKey);

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int64_t next_ = 0;
};

// The frame as the computer sends it: config packet first when the frame carries parameter sets.
std::vector<uint8_t> wireBytes(const EncodedFrame& frame, uint64_t ptsMicros);

// tablet-sim started with --port 0 and the given arguments; killed if still running at the end.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    uint16_t port() const { return port_; }

    // The exit status, or nothing when it did not exit in time (then it is killed) or died of a
    // signal.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    // A connected TCP socket to the simulator (the caller closes it).
    int connect() const;

    // Everything the process printed on stdout after the port line (read after wait()).
    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    uint16_t port_ = 0;
    std::string output_;
};

std::string readFile(const std::string& path);

}  // namespace panelora::testing
