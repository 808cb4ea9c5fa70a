#include "stream_checker.h"

#include <cmath>
#include <cstring>

#include "protocol/byte_order.h"

namespace panelora::tabletsim {

namespace {

constexpr uint8_t nalIdrSlice = 5;
constexpr uint8_t nalSps = 7;
constexpr uint8_t nalPps = 8;

std::string typeName(uint8_t raw) {
    const auto type = Wire::packetTypeFromRaw(raw);
    if (!type) return "unknown type " + std::to_string(raw);
    switch (*type) {
        case Wire::PacketType::config:
            return "config";
        case Wire::PacketType::frame:
            return "frame";
        case Wire::PacketType::touch:
            return "touch";
        case Wire::PacketType::keyRequest:
            return "keyRequest";
        case Wire::PacketType::hello:
            return "hello";
        case Wire::PacketType::ping:
            return "ping";
        case Wire::PacketType::pong:
            return "pong";
        case Wire::PacketType::cursorPosition:
            return "cursorPosition";
        case Wire::PacketType::cursorImage:
            return "cursorImage";
        case Wire::PacketType::key:
            return "key";
        case Wire::PacketType::scroll:
            return "scroll";
    }
    return "type " + std::to_string(raw);
}

bool finitePoints(float v) {
    return std::isfinite(v) && v >= 0.0f && v <= StreamChecker::maxCursorPoints;
}

}  // namespace

std::optional<std::vector<std::span<const uint8_t>>> splitAvcc(std::span<const uint8_t> avcc) {
    std::vector<std::span<const uint8_t>> units;
    size_t offset = 0;
    while (offset < avcc.size()) {
        if (avcc.size() - offset < 4) return std::nullopt;
        const uint32_t length = readU32BE(avcc.data() + offset);
        offset += 4;
        if (length == 0 || length > avcc.size() - offset) return std::nullopt;
        units.push_back(avcc.subspan(offset, length));
        offset += length;
    }
    return units;
}

void StreamChecker::violate(std::string message) {
    ++violationCount_;
    if (violations_.size() < maxStoredViolations) {
        violations_.push_back({packetIndex_, std::move(message)});
    }
}

StreamChecker::Outcome StreamChecker::check(uint8_t rawType, std::span<const uint8_t> payload) {
    const uint64_t before = violationCount_;
    Outcome outcome;
    const auto type = Wire::packetTypeFromRaw(rawType);
    const bool afterConfig = previousWasConfig_;

    // A config packet and its key frame leave the computer as one buffer: nothing may come
    // between them, and only a key frame may follow.
    if (afterConfig && type != Wire::PacketType::frame) {
        violate("config packet not followed by its key frame (next packet: " + typeName(rawType) +
                ")");
    }

    if (!type) {
        violate("packet of " + typeName(rawType) + " (" + std::to_string(payload.size()) +
                " bytes)");
    } else {
        switch (*type) {
            case Wire::PacketType::frame:
                outcome.frame = checkFrame(payload);
                if (outcome.frame) outcome.frame->afterConfig = afterConfig;
                break;
            case Wire::PacketType::config:
                checkConfig(payload);
                break;
            case Wire::PacketType::ping:
                if (payload.size() != 8) {
                    violate("ping payload of " + std::to_string(payload.size()) +
                            " bytes (expected 8)");
                }
                if (payload.size() >= 8) {
                    std::array<uint8_t, 8> stamp;
                    std::memcpy(stamp.data(), payload.data(), 8);
                    outcome.ping = stamp;
                }
                break;
            case Wire::PacketType::cursorPosition:
                checkCursorPosition(payload);
                break;
            case Wire::PacketType::cursorImage:
                checkCursorImage(payload);
                break;
            case Wire::PacketType::touch:
            case Wire::PacketType::keyRequest:
            case Wire::PacketType::hello:
            case Wire::PacketType::pong:
            case Wire::PacketType::key:
            case Wire::PacketType::scroll:
                violate("the computer sent a tablet-to-computer packet (" + typeName(rawType) +
                        ")");
                break;
        }
    }

    previousWasConfig_ = type == Wire::PacketType::config;
    outcome.violated = violationCount_ != before;
    ++packetIndex_;
    return outcome;
}

std::optional<CheckedFrame> StreamChecker::checkFrame(std::span<const uint8_t> payload) {
    if (payload.size() < Wire::framePayloadPrefix) {
        violate("frame payload of " + std::to_string(payload.size()) + " bytes (at least 9)");
        return std::nullopt;
    }
    const uint8_t flags = payload[0];
    CheckedFrame frame;
    frame.isKey = (flags & 1) != 0;
    frame.ptsMicros = readU64BE(payload.data() + 1);
    frame.avcc = payload.subspan(Wire::framePayloadPrefix);
    bool usable = true;

    if ((flags & ~uint8_t{1}) != 0) violate("frame flags byte " + std::to_string(flags));

    if (!sawFrame_ && !frame.isKey) {
        violate("the first frame is not a key frame");
        usable = false;
    }
    sawFrame_ = true;
    if (previousWasConfig_ && !frame.isKey) {
        violate("a non-key frame directly after a config packet");
    }
    if (frame.isKey && !previousWasConfig_ && !parameterSets_) {
        violate("key frame without a config packet before it, and none received earlier");
        usable = false;
    }

    if (lastPts_ && frame.ptsMicros < *lastPts_) {
        violate("ptsMicros went backwards: " + std::to_string(frame.ptsMicros) + " after " +
                std::to_string(*lastPts_));
    }
    lastPts_ = frame.ptsMicros;

    const auto units = splitAvcc(frame.avcc);
    if (!units || units->empty()) {
        violate(frame.avcc.empty() ? std::string("frame with no NAL units")
                                   : "AVCC NAL lengths do not add up to the frame payload (" +
                                         std::to_string(frame.avcc.size()) + " bytes)");
        return std::nullopt;
    }
    bool hasIdr = false;
    for (const auto& nal : *units) {
        if ((nal[0] & 0x80) != 0) {
            violate("NAL unit with the forbidden_zero_bit set");
            return std::nullopt;
        }
        if (nalType(nal) == nalIdrSlice) hasIdr = true;
    }
    if (frame.isKey && !hasIdr) violate("key frame without an IDR slice");
    if (!frame.isKey && hasIdr) violate("IDR slice in a frame not flagged as key");

    if (!usable) return std::nullopt;
    return frame;
}

void StreamChecker::checkConfig(std::span<const uint8_t> payload) {
    if (payload.size() < 2) {
        violate("config payload of " + std::to_string(payload.size()) + " bytes");
        return;
    }
    const size_t spsLength = readU16BE(payload.data());
    if (spsLength == 0 || payload.size() < 2 + spsLength + 2) {
        violate("config payload: SPS length " + std::to_string(spsLength) + " does not fit in " +
                std::to_string(payload.size()) + " bytes");
        return;
    }
    const size_t ppsLength = readU16BE(payload.data() + 2 + spsLength);
    if (ppsLength == 0 || payload.size() != 4 + spsLength + ppsLength) {
        violate("config payload: SPS " + std::to_string(spsLength) + " and PPS " +
                std::to_string(ppsLength) + " bytes do not add up to " +
                std::to_string(payload.size()));
        return;
    }
    const auto sps = payload.subspan(2, spsLength);
    const auto pps = payload.subspan(4 + spsLength, ppsLength);
    if (nalType(sps) != nalSps || nalType(pps) != nalPps) {
        violate("config payload: NAL types " + std::to_string(nalType(sps)) + " and " +
                std::to_string(nalType(pps)) + " (expected 7 and 8)");
        return;
    }
    parameterSets_ = ParameterSets{{sps.begin(), sps.end()}, {pps.begin(), pps.end()}};
}

void StreamChecker::checkCursorPosition(std::span<const uint8_t> payload) {
    if (payload.size() != 9) {
        violate("cursorPosition payload of " + std::to_string(payload.size()) +
                " bytes (expected 9)");
        return;
    }
    if (payload[0] > 1) violate("cursorPosition visible byte " + std::to_string(payload[0]));
    const float x = readF32BE(payload.data() + 1);
    const float y = readF32BE(payload.data() + 5);
    if (!std::isfinite(x) || !std::isfinite(y))
        violate("cursorPosition with a non-finite coordinate");
}

void StreamChecker::checkCursorImage(std::span<const uint8_t> payload) {
    if (payload.size() < Wire::cursorImagePrefix + 8) {
        violate("cursorImage payload of " + std::to_string(payload.size()) +
                " bytes (18 and a PNG expected)");
        return;
    }
    const uint16_t displayWidth = readU16BE(payload.data());
    const float width = readF32BE(payload.data() + 2);
    const float height = readF32BE(payload.data() + 6);
    const float hotX = readF32BE(payload.data() + 10);
    const float hotY = readF32BE(payload.data() + 14);
    if (displayWidth == 0) violate("cursorImage with a display width of 0");
    if (!finitePoints(width) || !finitePoints(height) || !finitePoints(hotX) ||
        !finitePoints(hotY)) {
        violate("cursorImage sizes or hot spot outside 0 to 512 points");
    }
    const auto png = payload.subspan(Wire::cursorImagePrefix);
    static constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (std::memcmp(png.data(), signature, 8) != 0) violate("cursorImage without a PNG image");
    if (png.size() > maxCursorPngBytes) {
        violate("cursorImage PNG of " + std::to_string(png.size()) + " bytes (at most 262144)");
    }
}

void StreamChecker::finish(Wire::PacketReader::End end, bool closedByUs) {
    using End = Wire::PacketReader::End;
    if (end == End::tooLong) {
        violate("a header announced more than 1000000 payload bytes");
        return;
    }
    if (closedByUs) return;
    if (end == End::truncated) violate("the connection ended inside a packet");
    if (previousWasConfig_) violate("the connection ended after a config packet, before its frame");
}

}  // namespace panelora::tabletsim
