#include "video/annex_b.h"

#include <cstddef>

namespace panelora {
namespace {

constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalAud = 9;

// Index of the first byte of the next 00 00 01 at or after `from`, or `size` when there is none.
size_t findStartCode(std::span<const uint8_t> data, size_t from) {
    for (size_t i = from; i + 2 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return data.size();
}

void appendWithLength(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    const auto length = static_cast<uint32_t>(nal.size());
    out.push_back(static_cast<uint8_t>(length >> 24));
    out.push_back(static_cast<uint8_t>(length >> 16));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

AvccFrame annexBToAvcc(std::span<const uint8_t> annexB) {
    AvccFrame frame;
    size_t start = findStartCode(annexB, 0);
    // Bytes before the first start code belong to no NAL unit and are ignored.
    while (start < annexB.size()) {
        const size_t begin = start + 3;
        const size_t next = findStartCode(annexB, begin);
        size_t end = next;
        // Zero bytes in front of a start code (the fourth byte of a long start code, or
        // trailing_zero_8bits) are not part of the unit before it.
        while (end > begin && annexB[end - 1] == 0)
            --end;
        start = next;
        if (end == begin) continue;

        std::span<const uint8_t> nal = annexB.subspan(begin, end - begin);
        const uint8_t type = nal[0] & 0x1F;
        switch (type) {
            case kNalSps:
                if (!frame.sps) frame.sps.emplace(nal.begin(), nal.end());
                break;
            case kNalPps:
                if (!frame.pps) frame.pps.emplace(nal.begin(), nal.end());
                break;
            case kNalAud:
                break;
            default:
                if (type == kNalIdr) frame.hasIdr = true;
                appendWithLength(frame.avcc, nal);
                break;
        }
    }
    return frame;
}

}  // namespace panelora
