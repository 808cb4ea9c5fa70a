#pragma once

// Framing of the USB multiplexing daemon's property-list messages, shared by the client and by
// the daemon simulator used in tests. Every message is a 16-byte header of four little-endian
// 32-bit fields (total length, version, message type, tag) followed by a property-list body.

#include <plist/plist.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace panelora::USBMux {

inline constexpr size_t messageHeaderSize = 16;
inline constexpr uint32_t protocolVersion = 1;
inline constexpr uint32_t plistMessageType = 8;
inline constexpr uint32_t listDevicesTag = 1;
inline constexpr uint32_t connectTag = 2;
// Replies are a few kilobytes at most; anything announcing more is garbage.
inline constexpr uint32_t maxMessageLength = 1u << 20;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
// Owner of a libplist node tree (plist_t is a void pointer).
using Plist = std::unique_ptr<void, PlistDeleter>;

struct MessageHeader {
    uint32_t length = 0;  // header included
    uint32_t version = protocolVersion;
    uint32_t type = plistMessageType;
    uint32_t tag = 0;

    bool operator==(const MessageHeader&) const = default;
};

std::array<uint8_t, messageHeaderSize> encodeHeader(const MessageHeader& header);
MessageHeader decodeHeader(std::span<const uint8_t, messageHeaderSize> bytes);

enum class PlistFormat { xml, binary };

// Header and serialised body in one buffer; nothing if serialisation fails or is too long.
std::optional<std::vector<uint8_t>> encodeMessage(plist_t body, uint32_t tag,
                                                  PlistFormat format = PlistFormat::xml);

// Writes one whole message.
bool sendMessage(int fd, plist_t body, uint32_t tag, PlistFormat format = PlistFormat::xml);

struct RawMessage {
    MessageHeader header;
    std::vector<uint8_t> body;
};

// Reads one message without interpreting the body. Nothing when the stream ends or fails, or
// when the length field is below 16 or above `maxLength` (checked before anything is read or
// allocated).
std::optional<RawMessage> readRawMessage(int fd, uint32_t maxLength = maxMessageLength);

// Parses a body in any format libplist reads; nothing unless it is a dictionary.
Plist parseDictionary(std::span<const uint8_t> body);

bool isBinaryPlist(std::span<const uint8_t> body);

// Reads one message and parses its body as a dictionary.
Plist receiveMessage(int fd);

// Typed lookups into a dictionary; nothing when the key is absent or of another type.
std::optional<uint64_t> dictUnsigned(plist_t dict, const char* key);
std::optional<std::string> dictString(plist_t dict, const char* key);

}  // namespace panelora::USBMux
