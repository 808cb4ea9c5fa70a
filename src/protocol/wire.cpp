#include "protocol/wire.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "protocol/byte_order.h"

namespace panelora::Wire {

namespace {

constexpr uint64_t maxLengthField = std::numeric_limits<uint32_t>::max();

void writeHeader(uint8_t* out, PacketType type, uint32_t length) {
    out[0] = rawValue(type);
    writeU32BE(out + 1, length);
}

}  // namespace

std::optional<PacketType> packetTypeFromRaw(uint8_t raw) {
    if (raw < rawValue(PacketType::config) || raw > rawValue(PacketType::scroll)) {
        return std::nullopt;
    }
    return static_cast<PacketType>(raw);
}

std::vector<uint8_t> packet(PacketType type, std::span<const uint8_t> payload) {
    if (payload.size() > maxLengthField) {
        throw std::length_error("packet payload does not fit a 32-bit length");
    }
    std::vector<uint8_t> out(headerSize + payload.size());
    writeHeader(out.data(), type, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) std::memcpy(out.data() + headerSize, payload.data(), payload.size());
    return out;
}

std::vector<uint8_t> framePacket(bool isKey, uint64_t ptsMicros, std::span<const uint8_t> avcc) {
    std::vector<uint8_t> out;
    out.reserve(headerSize + framePayloadPrefix + avcc.size());
    appendFramePacket(out, isKey, ptsMicros, avcc);
    return out;
}

void appendFramePacket(std::vector<uint8_t>& out, bool isKey, uint64_t ptsMicros,
                       std::span<const uint8_t> avcc) {
    if (avcc.size() > maxLengthField - framePayloadPrefix) {
        throw std::length_error("frame does not fit a 32-bit length");
    }
    size_t at = out.size();
    out.resize(at + headerSize + framePayloadPrefix + avcc.size());
    uint8_t* p = out.data() + at;
    writeHeader(p, PacketType::frame, static_cast<uint32_t>(framePayloadPrefix + avcc.size()));
    p[5] = isKey ? 1 : 0;
    writeU64BE(p + 6, ptsMicros);
    if (!avcc.empty()) std::memcpy(p + 14, avcc.data(), avcc.size());
}

namespace {

// Writes the config payload at `out`, which has room for 4 + sps + pps bytes.
void writeConfig(uint8_t* out, std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
    writeU16BE(out, static_cast<uint16_t>(sps.size()));
    if (!sps.empty()) std::memcpy(out + 2, sps.data(), sps.size());
    out += 2 + sps.size();
    writeU16BE(out, static_cast<uint16_t>(pps.size()));
    if (!pps.empty()) std::memcpy(out + 2, pps.data(), pps.size());
}

bool configFits(std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
    return sps.size() < parameterSetLimit && pps.size() < parameterSetLimit;
}

}  // namespace

std::optional<std::vector<uint8_t>> configPayload(std::span<const uint8_t> sps,
                                                  std::span<const uint8_t> pps) {
    if (!configFits(sps, pps)) return std::nullopt;
    std::vector<uint8_t> out(4 + sps.size() + pps.size());
    writeConfig(out.data(), sps, pps);
    return out;
}

std::optional<std::vector<uint8_t>> configPacket(std::span<const uint8_t> sps,
                                                 std::span<const uint8_t> pps) {
    if (!configFits(sps, pps)) return std::nullopt;
    const size_t payloadSize = 4 + sps.size() + pps.size();
    std::vector<uint8_t> out(headerSize + payloadSize);
    writeHeader(out.data(), PacketType::config, static_cast<uint32_t>(payloadSize));
    writeConfig(out.data() + headerSize, sps, pps);
    return out;
}

std::optional<std::vector<uint8_t>> configAndFramePackets(std::span<const uint8_t> sps,
                                                          std::span<const uint8_t> pps,
                                                          uint64_t ptsMicros,
                                                          std::span<const uint8_t> avcc) {
    if (!configFits(sps, pps)) return std::nullopt;
    const size_t payloadSize = 4 + sps.size() + pps.size();
    std::vector<uint8_t> out;
    out.reserve(2 * headerSize + payloadSize + framePayloadPrefix + avcc.size());
    out.resize(headerSize + payloadSize);
    writeHeader(out.data(), PacketType::config, static_cast<uint32_t>(payloadSize));
    writeConfig(out.data() + headerSize, sps, pps);
    appendFramePacket(out, true, ptsMicros, avcc);
    return out;
}

std::array<uint8_t, 8> pingPayload(uint64_t uptimeMicros) {
    std::array<uint8_t, 8> out{};
    writeU64BE(out.data(), uptimeMicros);
    return out;
}

std::array<uint8_t, 9> cursorPositionPayload(bool visible, float x, float y) {
    std::array<uint8_t, 9> out{};
    out[0] = visible ? 1 : 0;
    writeF32BE(out.data() + 1, x);
    writeF32BE(out.data() + 5, y);
    return out;
}

std::vector<uint8_t> cursorImagePayload(uint16_t displayWidthPoints, float imageWidth,
                                        float imageHeight, float hotSpotX, float hotSpotY,
                                        std::span<const uint8_t> png) {
    std::vector<uint8_t> out(cursorImagePrefix + png.size());
    uint8_t* p = out.data();
    writeU16BE(p, displayWidthPoints);
    writeF32BE(p + 2, imageWidth);
    writeF32BE(p + 6, imageHeight);
    writeF32BE(p + 10, hotSpotX);
    writeF32BE(p + 14, hotSpotY);
    if (!png.empty()) std::memcpy(p + cursorImagePrefix, png.data(), png.size());
    return out;
}

std::optional<Hello> parseHello(std::span<const uint8_t> payload) {
    if (payload.size() < 5) return std::nullopt;
    const uint8_t* p = payload.data();
    const int64_t width = readU16BE(p);
    const int64_t height = readU16BE(p + 2);
    const int64_t maxFPS = p[4];
    if (width < 640 || width > 8192) return std::nullopt;
    if (height < 480 || height > 8192) return std::nullopt;
    if (width < height) return std::nullopt;  // portrait
    if (maxFPS == 0) return std::nullopt;

    Hello hello;
    hello.pixelWidth = width;
    hello.pixelHeight = height;
    hello.maxFPS = maxFPS;
    hello.clientCursor = payload.size() >= 6 && (p[5] & 0x01) != 0;
    hello.version = payload.size() >= 7 ? int64_t{p[6]} : 1;
    return hello;
}

std::optional<Touch> parseTouch(std::span<const uint8_t> payload) {
    if (payload.size() < 9) return std::nullopt;
    const uint8_t* p = payload.data();
    const uint8_t phase = p[0];
    const float x = readF32BE(p + 1);
    const float y = readF32BE(p + 5);
    if (phase >= 5) return std::nullopt;
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    auto unit = [](float v) { return v <= 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); };
    return Touch{phase, unit(x), unit(y)};
}

std::optional<KeyEvent> parseKey(std::span<const uint8_t> payload) {
    if (payload.size() < 4) return std::nullopt;
    const uint8_t* p = payload.data();
    KeyEvent event;
    event.usage = readU16BE(p);
    event.isDown = p[2] != 0;
    event.modifiers = KeyEvent::Modifiers{static_cast<uint8_t>(p[3] & 0x1F)};
    return event;
}

std::optional<Scroll> parseScroll(std::span<const uint8_t> payload) {
    if (payload.size() < 8) return std::nullopt;
    const float dx = readF32BE(payload.data());
    const float dy = readF32BE(payload.data() + 4);
    if (!std::isfinite(dx) || !std::isfinite(dy)) return std::nullopt;
    auto limit = [](float v) { return v <= -5000.0f ? -5000.0f : (v > 5000.0f ? 5000.0f : v); };
    return Scroll{limit(dx), limit(dy)};
}

std::optional<uint64_t> parsePong(std::span<const uint8_t> payload) {
    if (payload.size() < 8) return std::nullopt;
    return readU64BE(payload.data());
}

}  // namespace panelora::Wire
