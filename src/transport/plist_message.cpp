#include "transport/plist_message.h"

#include <cstring>
#include <limits>

#include "transport/socket_io.h"

namespace panelora::USBMux {

namespace {

void putLE32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t getLE32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

struct XmlFree {
    void operator()(char* p) const { plist_to_xml_free(p); }
};
struct BinFree {
    void operator()(char* p) const { plist_to_bin_free(p); }
};

}  // namespace

std::array<uint8_t, messageHeaderSize> encodeHeader(const MessageHeader& header) {
    std::array<uint8_t, messageHeaderSize> bytes{};
    putLE32(bytes.data() + 0, header.length);
    putLE32(bytes.data() + 4, header.version);
    putLE32(bytes.data() + 8, header.type);
    putLE32(bytes.data() + 12, header.tag);
    return bytes;
}

MessageHeader decodeHeader(std::span<const uint8_t, messageHeaderSize> bytes) {
    return MessageHeader{getLE32(bytes.data() + 0), getLE32(bytes.data() + 4),
                         getLE32(bytes.data() + 8), getLE32(bytes.data() + 12)};
}

std::optional<std::vector<uint8_t>> encodeMessage(plist_t body, uint32_t tag, PlistFormat format) {
    if (body == nullptr) return std::nullopt;
    char* raw = nullptr;
    uint32_t size = 0;
    std::unique_ptr<char, XmlFree> xml;
    std::unique_ptr<char, BinFree> bin;
    if (format == PlistFormat::xml) {
        plist_to_xml(body, &raw, &size);
        xml.reset(raw);
    } else {
        plist_to_bin(body, &raw, &size);
        bin.reset(raw);
    }
    if (raw == nullptr || size == 0 || size > maxMessageLength - messageHeaderSize) {
        return std::nullopt;
    }

    std::vector<uint8_t> message(messageHeaderSize + size);
    const auto header = encodeHeader(MessageHeader{static_cast<uint32_t>(message.size()),
                                                   protocolVersion, plistMessageType, tag});
    std::memcpy(message.data(), header.data(), header.size());
    std::memcpy(message.data() + messageHeaderSize, raw, size);
    return message;
}

bool sendMessage(int fd, plist_t body, uint32_t tag, PlistFormat format) {
    const auto message = encodeMessage(body, tag, format);
    return message && writeAll(fd, *message);
}

std::optional<RawMessage> readRawMessage(int fd, uint32_t maxLength) {
    std::array<uint8_t, messageHeaderSize> headerBytes{};
    if (!readExactly(fd, std::span<uint8_t>(headerBytes))) return std::nullopt;
    RawMessage message;
    message.header = decodeHeader(headerBytes);
    if (message.header.length < messageHeaderSize || message.header.length > maxLength) {
        return std::nullopt;
    }
    message.body.resize(message.header.length - messageHeaderSize);
    if (!readExactly(fd, std::span<uint8_t>(message.body))) return std::nullopt;
    return message;
}

bool isBinaryPlist(std::span<const uint8_t> body) {
    static constexpr char magic[] = "bplist00";
    return body.size() >= 8 && std::memcmp(body.data(), magic, 8) == 0;
}

Plist parseDictionary(std::span<const uint8_t> body) {
    if (body.empty() || body.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(body.data()),
                      static_cast<uint32_t>(body.size()), &root);
    Plist owned(root);
    if (!owned || plist_get_node_type(owned.get()) != PLIST_DICT) return nullptr;
    return owned;
}

Plist receiveMessage(int fd) {
    const auto message = readRawMessage(fd);
    if (!message) return nullptr;
    return parseDictionary(message->body);
}

std::optional<uint64_t> dictUnsigned(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

std::optional<std::string> dictString(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr) return std::string();
    return std::string(text, static_cast<size_t>(length));
}

}  // namespace panelora::USBMux
