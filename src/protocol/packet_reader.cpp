#include "protocol/packet_reader.h"

#include "protocol/byte_order.h"
#include "protocol/fd_read.h"

namespace panelora::Wire {

namespace {

PacketReader::End endFor(detail::ReadResult r) {
    switch (r.status) {
        case detail::ReadStatus::complete:
            return PacketReader::End::none;
        case detail::ReadStatus::endOfStream:
            return PacketReader::End::truncated;
        case detail::ReadStatus::timedOut:
        case detail::ReadStatus::failed:
            return PacketReader::End::failed;
    }
    return PacketReader::End::failed;
}

}  // namespace

std::optional<Packet> PacketReader::next() {
    if (end_ != End::none) return std::nullopt;

    uint8_t header[headerSize];
    const detail::ReadResult h = detail::readFully(fd_, header, headerSize);
    if (h.status != detail::ReadStatus::complete) {
        end_ = (h.status == detail::ReadStatus::endOfStream && h.bytesRead == 0) ? End::endOfStream
                                                                                 : endFor(h);
        return std::nullopt;
    }

    const uint32_t length = readU32BE(header + 1);
    // Checked before anything is allocated.
    if (length > maxPayloadLength) {
        end_ = End::tooLong;
        return std::nullopt;
    }
    if (buffer_.size() < length) buffer_.resize(length);
    const detail::ReadResult p = detail::readFully(fd_, buffer_.data(), length);
    if (p.status != detail::ReadStatus::complete) {
        end_ = endFor(p);
        return std::nullopt;
    }
    return Packet{header[0], std::span<const uint8_t>(buffer_.data(), length)};
}

}  // namespace panelora::Wire
