#include "platform/linux/codec/hardware_encoders.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace panelora::libav {
namespace {

constexpr const char* kNames[] = {"h264_vaapi", "h264_nvenc", "h264_qsv"};
constexpr int kSurfacePool = 4;

void setPrivate(AVCodecContext* context, const char* key, const char* value) {
    av_opt_set(context->priv_data, key, value, 0);
}

// VAAPI encodes device surfaces: a device, a pool of NV12 surfaces, one upload per frame.
bool prepareVaapi(AVCodecContext* context, BufferRefPtr& frames) {
    AVBufferRef* rawDevice = nullptr;
    if (av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0) {
        return false;
    }
    BufferRefPtr device(rawDevice);
    BufferRefPtr pool(av_hwframe_ctx_alloc(device.get()));
    if (!pool) return false;
    auto* poolContext = reinterpret_cast<AVHWFramesContext*>(pool->data);
    poolContext->format = AV_PIX_FMT_VAAPI;
    poolContext->sw_format = AV_PIX_FMT_NV12;
    poolContext->width = context->width;
    poolContext->height = context->height;
    poolContext->initial_pool_size = kSurfacePool;
    if (av_hwframe_ctx_init(pool.get()) < 0) return false;
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->hw_frames_ctx = av_buffer_ref(pool.get());
    if (!context->hw_frames_ctx) return false;
    setPrivate(context, "rc_mode", "VBR");
    setPrivate(context, "async_depth", "1");
    frames = std::move(pool);
    return true;
}

}  // namespace

std::span<const char* const> hardwareEncoderNames() {
    return kNames;
}

bool prepareHardwareEncoder(const std::string& name, AVCodecContext* context,
                            BufferRefPtr& frames) {
    if (name == "h264_vaapi") return prepareVaapi(context, frames);
    // NVENC and Quick Sync take NV12 from ordinary memory and upload it themselves.
    context->pix_fmt = AV_PIX_FMT_NV12;
    if (name == "h264_nvenc") {
        setPrivate(context, "preset", "p2");
        setPrivate(context, "tune", "ull");
        setPrivate(context, "rc", "vbr");
        setPrivate(context, "zerolatency", "1");
        setPrivate(context, "delay", "0");
        setPrivate(context, "forced-idr", "1");
        return true;
    }
    if (name == "h264_qsv") {
        setPrivate(context, "preset", "veryfast");
        setPrivate(context, "async_depth", "1");
        setPrivate(context, "forced_idr", "1");
        return true;
    }
    return false;
}

}  // namespace panelora::libav
