// Big-endian (network order) reads and writes of fixed-size integers and binary32 floats.
// Pointer-based helpers do no bounds checks: callers check the buffer length first.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace panelora {

inline uint16_t readU16BE(const uint8_t* p) {
    return static_cast<uint16_t>((uint16_t{p[0]} << 8) | uint16_t{p[1]});
}

inline uint32_t readU32BE(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint64_t readU64BE(const uint8_t* p) {
    return (uint64_t{readU32BE(p)} << 32) | uint64_t{readU32BE(p + 4)};
}

inline float readF32BE(const uint8_t* p) {
    return std::bit_cast<float>(readU32BE(p));
}

inline void writeU16BE(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void writeU32BE(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void writeU64BE(uint8_t* p, uint64_t v) {
    writeU32BE(p, static_cast<uint32_t>(v >> 32));
    writeU32BE(p + 4, static_cast<uint32_t>(v));
}

inline void writeF32BE(uint8_t* p, float v) {
    writeU32BE(p, std::bit_cast<uint32_t>(v));
}

// Appending forms, for building a buffer front to back.
inline void appendU16BE(std::vector<uint8_t>& out, uint16_t v) {
    uint8_t b[2];
    writeU16BE(b, v);
    out.insert(out.end(), b, b + 2);
}

inline void appendU32BE(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    writeU32BE(b, v);
    out.insert(out.end(), b, b + 4);
}

inline void appendU64BE(std::vector<uint8_t>& out, uint64_t v) {
    uint8_t b[8];
    writeU64BE(b, v);
    out.insert(out.end(), b, b + 8);
}

inline void appendF32BE(std::vector<uint8_t>& out, float v) {
    appendU32BE(out, std::bit_cast<uint32_t>(v));
}

}  // namespace panelora
