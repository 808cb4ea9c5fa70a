// The hardware H.264 encoders libavcodec may offer, and what each needs before it is opened.
// None of this can run on a machine without a GPU; every failure here ends in libx264.
#pragma once

#include <span>
#include <string>

#include "platform/linux/codec/libav_handles.h"

namespace panelora::libav {

// In order of preference.
std::span<const char* const> hardwareEncoderNames();

// Prepares `context` (sizes and rates already set) for the hardware encoder `name`: pixel format,
// device and surface pool, low-latency options. Sets `frames` for encoders that take device
// surfaces. False when the device cannot be opened.
bool prepareHardwareEncoder(const std::string& name, AVCodecContext* context, BufferRefPtr& frames);

}  // namespace panelora::libav
