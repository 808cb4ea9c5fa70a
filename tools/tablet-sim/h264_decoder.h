// libavcodec's software H.264 decoder in low-delay mode, fed one AVCC frame at a time as the
// wire carries it. One decoder per connection, used from the reader thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "stream_checker.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace panelora::tabletsim {

// An RGB picture, 3 bytes per pixel (R, G, B), rows packed.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;

    // The pixel at (x, y); no bounds check.
    const uint8_t* at(int x, int y) const { return rgb.data() + (size_t(y) * width + x) * 3; }
};

// One decoded picture, holding a reference to the decoder's frame buffers.
class Picture {
  public:
    Picture();
    ~Picture();
    Picture(Picture&&) noexcept;
    Picture& operator=(Picture&&) noexcept;

    bool empty() const;
    int width() const;
    int height() const;

    // BT.601 conversion (video range, or full range when the stream says so) of 8-bit 4:2:0
    // pictures, planar or NV12. Nothing for another format, with the reason in `error`.
    std::optional<RgbImage> toRgb(std::string* error = nullptr) const;

  private:
    friend class H264Decoder;
    struct FrameDeleter {
        void operator()(AVFrame* f) const;
    };
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
};

class H264Decoder {
  public:
    struct Result {
        bool error = false;              // libavcodec rejected the data or flagged a picture
        std::vector<uint64_t> pictures;  // ptsMicros of each picture that came out
    };

    // Nothing when libavcodec has no H.264 decoder or cannot open it.
    static std::unique_ptr<H264Decoder> create(bool quiet = true);
    ~H264Decoder();

    // Decodes one frame. A key frame gets `parameterSets` put in front of it so that the decoder
    // always has the parameter sets that belong to it.
    Result decode(const CheckedFrame& frame, const std::optional<ParameterSets>& parameterSets);

    // Drains the pictures the decoder still holds (none in low-delay mode without B-frames).
    Result flush();

    // The most recently output picture, moved out (empty when none came out yet).
    Picture takeLastPicture();

  private:
    H264Decoder() = default;
    Result receive();

    struct ContextDeleter {
        void operator()(AVCodecContext* c) const;
    };
    struct PacketDeleter {
        void operator()(AVPacket* p) const;
    };
    std::unique_ptr<AVCodecContext, ContextDeleter> context_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    Picture received_;  // scratch frame for avcodec_receive_frame
    Picture last_;
    std::vector<uint8_t> annexB_;  // reused for every frame
};

}  // namespace panelora::tabletsim
