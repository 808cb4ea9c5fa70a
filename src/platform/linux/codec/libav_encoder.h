// One open libavcodec H.264 encoder, configured from VideoCodecSettings for low latency: no
// B-frames, no frame delay, SPS and PPS in-band with every key frame. Internal to this backend.
//
// Not thread-safe: it is used by one thread at a time (the codec's output thread, or the thread
// probing the hardware).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/codec/libav_handles.h"
#include "video/h264_encoder.h"
#include "video/image_buffer.h"

namespace panelora::libav {

// libx264's preset for these settings: see the .cpp for the measurements behind it.
const char* x264PresetFor(const VideoCodecSettings& settings);

// The rate control the settings ask for, in libavcodec's units.
struct RateControl {
    int64_t bitRate = 0;     // average, bits per second
    int64_t maxRate = 0;     // bits per second
    int64_t bufferBits = 0;  // the VBV window
};
RateControl rateControlFor(const VideoCodecSettings& settings);

// Settings that no encoder can take (sizes, rates out of range) are refused before any is opened.
bool plausible(const VideoCodecSettings& settings);

class LibavEncoder {
  public:
    enum class Received { packet, none, error };

    // Nothing when the encoder is absent or refuses the settings. `name` is a libavcodec encoder
    // name: "libx264" or one of hardwareEncoderNames().
    static std::unique_ptr<LibavEncoder> open(const std::string& name,
                                              const VideoCodecSettings& settings);
    ~LibavEncoder();

    const std::string& name() const { return name_; }
    int32_t width() const { return context_->width; }
    int32_t height() const { return context_->height; }

    // Hands one NV12 picture of the encoder's size to the encoder without copying it (software
    // encoders) or through one upload (hardware surfaces). `pts` counts frames. False on failure.
    bool send(const ImageBufferRef& image, int64_t pts, bool forceKey);
    // The next compressed packet (Annex B) into `packet`, if one is ready.
    Received receive(AVPacket* packet);

  private:
    LibavEncoder(std::string name, CodecContextPtr context, BufferRefPtr hardwareFrames);

    std::string name_;
    CodecContextPtr context_;
    BufferRefPtr hardwareFrames_;  // set for encoders that take device surfaces
    FramePtr frame_;               // reused wrapper of the caller's planes
    FramePtr surface_;             // reused device surface
};

}  // namespace panelora::libav
