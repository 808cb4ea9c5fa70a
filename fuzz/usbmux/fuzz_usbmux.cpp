// The client's side of the daemon protocol: arbitrary bytes as the daemon's reply stream through
// the message reader, the property-list parser and the reply interpretation, and the same bytes
// as a bare body. Besides memory errors it traps when a result breaks what the callers rely on.

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/plist_message.h"
#include "transport/usbmux_replies.h"

namespace {

using namespace panelora;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void interpret(plist_t reply) {
    const auto devices = USBMux::devicesInReply(reply);
    if (!devices.empty()) {
        plist_t list = plist_dict_get_item(reply, "DeviceList");
        check(list != nullptr && devices.size() <= plist_array_get_size(list));
    }
    USBMux::connectAccepted(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    // A 64 KiB input fits the socket buffer; the reader sees the end after it.
    const bool written = ::write(fds[1], data, size) == static_cast<ssize_t>(size);
    ::shutdown(fds[1], SHUT_WR);
    if (written) {
        const USBMux::Plist reply = USBMux::receiveMessage(fds[0]);
        if (reply) check(plist_get_node_type(reply.get()) == PLIST_DICT);
        interpret(reply.get());
    }
    ::close(fds[0]);
    ::close(fds[1]);

    const USBMux::Plist body = USBMux::parseDictionary(std::span<const uint8_t>(data, size));
    interpret(body.get());
    return 0;
}
