// The VideoCodec seam on libavcodec: H.264 from a working hardware encoder (VAAPI, NVENC, Quick
// Sync) when the machine has one, else from libx264.
//
// Each codec owns an output thread ("panelora.encoder"). encode() only queues the frame there,
// so the capture never waits for an encode. The output thread encodes the frames in order and
// calls each completion exactly once, in order, with the sample or, when libavcodec fails, with
// nothing; after a libavcodec failure the codec is broken and refuses further frames.
//
// invalidate(), safe from any thread including the output thread, refuses new frames and drops
// the frames still waiting without calling their completions; the frame being encoded at that
// moment, if any, completes normally. The encoder itself is freed on the output thread once that
// frame is done. The destructor invalidates and waits for the output thread, unless it runs on
// that thread, which then finishes by itself.
#pragma once

#include <memory>
#include <string>

#include "video/h264_encoder.h"

namespace panelora {

class LibavVideoCodecFactory final : public VideoCodecFactory {
  public:
    enum class Encoders {
        automatic,     // a hardware encoder that passed the probe, else libx264
        softwareOnly,  // always libx264
    };

    explicit LibavVideoCodecFactory(Encoders encoders = Encoders::automatic);

    // Nothing when the settings are impossible (odd or zero sizes, sizes beyond libavcodec's
    // limits, no frame rate or bit rate) or no encoder accepts them.
    std::unique_ptr<VideoCodec> create(const VideoCodecSettings& settings) override;

    // The hardware encoder that passed the probe ("h264_vaapi", …), or empty. The probe opens
    // each candidate and encodes one frame; it runs once per process, on first use.
    static std::string probedHardwareEncoder();

    // At most this many frames wait in one codec; more are refused.
    static constexpr size_t kMaxQueuedFrames = 8;

  private:
    Encoders encoders_;
};

}  // namespace panelora
