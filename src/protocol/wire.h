// The packets exchanged with the tablet: a 5-byte header (type, then the payload length as u32
// big-endian) followed by the payload. Builders for what the computer sends, decoders for what the
// tablet sends. Everything here is stateless and safe to call from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace panelora {

// The tablet's first message.
struct Hello {
    int64_t pixelWidth = 0;     // landscape width in pixels
    int64_t pixelHeight = 0;    // height in pixels
    int64_t maxFPS = 0;         // highest frame rate the tablet shows, 1 to 255
    bool clientCursor = false;  // the tablet draws the pointer from the cursor packets
    int64_t version = 1;        // protocol version, 1 when the hello carries none

    bool operator==(const Hello&) const = default;
};

// One key going down or up.
struct KeyEvent {
    // Option set over the low five bits of one byte.
    struct Modifiers {
        uint8_t rawValue = 0;

        static const Modifiers shift;
        static const Modifiers control;
        static const Modifiers option;
        static const Modifiers command;
        static const Modifiers capsLock;

        constexpr bool contains(Modifiers m) const { return (rawValue & m.rawValue) == m.rawValue; }
        constexpr bool isEmpty() const { return rawValue == 0; }
        constexpr Modifiers operator|(Modifiers m) const {
            return Modifiers{static_cast<uint8_t>(rawValue | m.rawValue)};
        }
        constexpr Modifiers operator&(Modifiers m) const {
            return Modifiers{static_cast<uint8_t>(rawValue & m.rawValue)};
        }
        constexpr Modifiers& operator|=(Modifiers m) { return *this = *this | m; }
        constexpr Modifiers& operator&=(Modifiers m) { return *this = *this & m; }
        constexpr Modifiers without(Modifiers m) const {
            return Modifiers{static_cast<uint8_t>(rawValue & ~m.rawValue)};
        }

        bool operator==(const Modifiers&) const = default;
    };

    uint16_t usage = 0;  // USB HID usage, keyboard page
    bool isDown = false;
    Modifiers modifiers;

    bool operator==(const KeyEvent&) const = default;
};

inline constexpr KeyEvent::Modifiers KeyEvent::Modifiers::shift{0x01};
inline constexpr KeyEvent::Modifiers KeyEvent::Modifiers::control{0x02};
inline constexpr KeyEvent::Modifiers KeyEvent::Modifiers::option{0x04};
inline constexpr KeyEvent::Modifiers KeyEvent::Modifiers::command{0x08};
inline constexpr KeyEvent::Modifiers KeyEvent::Modifiers::capsLock{0x10};

namespace Wire {

enum class PacketType : uint8_t {
    config = 1,
    frame = 2,
    touch = 3,
    keyRequest = 4,
    hello = 5,
    ping = 6,
    pong = 7,
    cursorPosition = 8,
    cursorImage = 9,
    key = 10,
    scroll = 11,
};

// A case for 1 to 11, nothing for every other byte.
std::optional<PacketType> packetTypeFromRaw(uint8_t raw);

constexpr uint8_t rawValue(PacketType type) {
    return static_cast<uint8_t>(type);
}

inline constexpr size_t headerSize = 5;
// A longer payload means the stream is broken; exactly this many bytes is accepted.
inline constexpr uint32_t maxPayloadLength = 1'000'000;
// The longest payload the handshake accepts as a hello.
inline constexpr uint32_t maxHelloLength = 1023;
// A parameter set in a config payload must be shorter than this.
inline constexpr size_t parameterSetLimit = 65536;

inline constexpr size_t framePayloadPrefix = 9;  // flags + ptsMicros
inline constexpr size_t cursorImagePrefix = 18;  // display width + four floats

// A decoded touch: phase 0 to 4, x and y clamped to 0...1.
struct Touch {
    uint8_t phase = 0;
    float x = 0;
    float y = 0;

    bool operator==(const Touch&) const = default;
};

// A decoded scroll delta in pointer pixels, each clamped to -5000...5000.
struct Scroll {
    float dx = 0;
    float dy = 0;

    bool operator==(const Scroll&) const = default;
};

// ---- Builders (computer to tablet) ----

// Header followed by the payload. Throws std::length_error for a payload of 2^32 bytes or more,
// which no caller produces; a wrapped length would desynchronise the tablet.
std::vector<uint8_t> packet(PacketType type, std::span<const uint8_t> payload);

// A whole frame packet: type 2, length N + 9, flags (1 for a key frame), ptsMicros, the AVCC bytes.
// One allocation of exactly N + 14 bytes. Throws std::length_error when N + 9 does not fit in u32.
std::vector<uint8_t> framePacket(bool isKey, uint64_t ptsMicros, std::span<const uint8_t> avcc);
// The same packet appended to `out` (a config packet may already be there); the caller reserves.
void appendFramePacket(std::vector<uint8_t>& out, bool isKey, uint64_t ptsMicros,
                       std::span<const uint8_t> avcc);

// The config payload: u16 SPS length, SPS, u16 PPS length, PPS. Nothing when either set is 65536
// bytes or longer; the caller then sends the key frame without a config packet.
std::optional<std::vector<uint8_t>> configPayload(std::span<const uint8_t> sps,
                                                  std::span<const uint8_t> pps);

// The whole config packet (header included), or nothing under the same rule as configPayload.
std::optional<std::vector<uint8_t>> configPacket(std::span<const uint8_t> sps,
                                                 std::span<const uint8_t> pps);

// A key frame's config packet directly followed by its frame packet, in one buffer allocated
// once for both. Nothing under the same rule as configPayload.
std::optional<std::vector<uint8_t>> configAndFramePackets(std::span<const uint8_t> sps,
                                                          std::span<const uint8_t> pps,
                                                          uint64_t ptsMicros,
                                                          std::span<const uint8_t> avcc);

// The ping payload: the sender's monotonic uptime in microseconds, u64 big-endian.
std::array<uint8_t, 8> pingPayload(uint64_t uptimeMicros);

// The cursorPosition payload: visible byte (1/0), x and y as binary32, not clamped.
std::array<uint8_t, 9> cursorPositionPayload(bool visible, float x, float y);

// The cursorImage payload: display width in points (u16), image width and height, hot spot x and
// y (binary32, points), then the PNG bytes.
std::vector<uint8_t> cursorImagePayload(uint16_t displayWidthPoints, float imageWidth,
                                        float imageHeight, float hotSpotX, float hotSpotY,
                                        std::span<const uint8_t> png);

// ---- Decoders (tablet to computer); each takes the payload alone and never reads past it ----

std::optional<Hello> parseHello(std::span<const uint8_t> payload);
std::optional<Touch> parseTouch(std::span<const uint8_t> payload);
std::optional<KeyEvent> parseKey(std::span<const uint8_t> payload);
std::optional<Scroll> parseScroll(std::span<const uint8_t> payload);

// The echoed ping time stamp: the first 8 bytes, u64 big-endian. Nothing for fewer than 8 bytes.
std::optional<uint64_t> parsePong(std::span<const uint8_t> payload);

// Round-trip time in milliseconds from the echoed time stamp; the difference wraps like u64.
inline double roundTripMillis(uint64_t nowMicros, uint64_t echoedMicros) {
    return static_cast<double>(nowMicros - echoedMicros) / 1000.0;
}

}  // namespace Wire
}  // namespace panelora
