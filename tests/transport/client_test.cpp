// The client against a scripted fake daemon: what it sends, and how it treats every kind of
// reply, including broken ones. Each case also checks that no descriptor is left open.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "test_support.h"
#include "transport/plist_message.h"
#include "transport/socket_io.h"
#include "transport/usbmux_client.h"

namespace panelora::USBMux {
namespace {

using Bytes = std::vector<uint8_t>;
using test::FakeDaemon;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

void appendLE32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(uint8_t(value >> shift));
}

// A reply message: header with the given length field, then the body.
Bytes frameWithLength(uint32_t length, const Bytes& body) {
    Bytes out;
    appendLE32(out, length);
    appendLE32(out, 1);  // version
    appendLE32(out, 8);  // plist message
    appendLE32(out, 1);  // tag
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes frame(const std::string& body) {
    return frameWithLength(uint32_t(16 + body.size()), bytesOf(body));
}

std::string plistDoc(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">" +
           inner + "</plist>";
}

std::string usbEntry(const std::string& idXml, const std::string& type,
                     std::optional<std::string> serial) {
    std::string props =
        "<key>ConnectionType</key><string>" + type + "</string>" + "<key>DeviceID</key>" + idXml;
    if (serial) props += "<key>SerialNumber</key><string>" + *serial + "</string>";
    return "<dict><key>DeviceID</key>" + idXml +
           "<key>MessageType</key><string>Attached</string>"
           "<key>Properties</key><dict>" +
           props + "</dict></dict>";
}

std::string deviceListReply(const std::string& entries) {
    return plistDoc("<dict><key>DeviceList</key><array>" + entries + "</array></dict>");
}

std::string resultReply(const std::string& numberXml) {
    return plistDoc("<dict><key>MessageType</key><string>Result</string><key>Number</key>" +
                    numberXml + "</dict>");
}

// What one fake daemon connection saw and does.
struct Script {
    explicit Script(Bytes reply, bool holdOpen = false)
        : reply(std::move(reply)), holdOpen(holdOpen) {}

    Bytes reply;            // written after the request was read
    bool holdOpen = false;  // keep the connection until the client closes it
    Bytes requestHeader;    // the request's 16 header bytes as received
    std::optional<RawMessage> request;
};

// Serves each connection: reads the request, answers with the scripted bytes.
test::ScriptedServer::Handler scripted(Script& script) {
    return [&script](int fd) {
        auto header = readExactly(fd, 16);
        if (!header) return;
        script.requestHeader = *header;
        const MessageHeader decoded =
            decodeHeader(std::span<const uint8_t, 16>(header->data(), 16));
        if (decoded.length < 16 || decoded.length > maxMessageLength) return;
        auto body = readExactly(fd, decoded.length - 16);
        if (!body) return;
        script.request = RawMessage{decoded, *body};
        if (!script.reply.empty()) writeAll(fd, script.reply);
        if (script.holdOpen) test::readToEnd(fd);
    };
}

void waitServed(const FakeDaemon& daemon, int count) {
    for (int i = 0; i < 500 && daemon.served() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(daemon.served(), count);
}

Plist requestBody(const Script& script) {
    if (!script.request) return nullptr;
    return parseDictionary(script.request->body);
}

TEST(UsbmuxFramingTest, HeaderEncodesLittleEndianFields) {
    const auto bytes = encodeHeader(MessageHeader{0x01020304, 1, 8, 2});
    const std::array<uint8_t, 16> expected{
        0x04, 0x03, 0x02, 0x01,  // length 0x01020304, least significant byte first
        0x01, 0x00, 0x00, 0x00,  // version 1
        0x08, 0x00, 0x00, 0x00,  // message type 8: property list
        0x02, 0x00, 0x00, 0x00,  // tag 2: connect request
    };
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(decodeHeader(bytes), (MessageHeader{0x01020304, 1, 8, 2}));
}

TEST(UsbmuxFramingTest, MessageLengthCountsTheHeader) {
    const Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string("ListDevices"));
    const auto message = encodeMessage(dict.get(), 1);
    ASSERT_TRUE(message.has_value());
    const auto header = decodeHeader(std::span<const uint8_t, 16>(message->data(), 16));
    EXPECT_EQ(header.length, message->size());
    const Plist back = parseDictionary(std::span(*message).subspan(16));
    ASSERT_TRUE(back);
    EXPECT_EQ(dictString(back.get(), "MessageType"), "ListDevices");
}

TEST(UsbmuxClientTest, DeviceListRequestCarriesExactlyThreeKeys) {
    Script script{frame(deviceListReply(""))};
    FakeDaemon daemon(scripted(script));
    EXPECT_TRUE(listDevices(daemon.address()).empty());
    waitServed(daemon, 1);

    ASSERT_TRUE(script.request.has_value());
    const Bytes& header = script.requestHeader;
    const Bytes expectedTail{
        0x01, 0x00, 0x00, 0x00,  // version 1
        0x08, 0x00, 0x00, 0x00,  // property-list message
        0x01, 0x00, 0x00, 0x00,  // tag 1: device list
    };
    EXPECT_EQ(Bytes(header.begin() + 4, header.end()), expectedTail);
    EXPECT_EQ(script.request->header.length, 16 + script.request->body.size());

    const std::string text(script.request->body.begin(), script.request->body.end());
    EXPECT_TRUE(text.starts_with("<?xml")) << "requests are XML property lists";
    const Plist body = requestBody(script);
    ASSERT_TRUE(body);
    EXPECT_EQ(plist_dict_get_size(body.get()), 3u);
    EXPECT_EQ(dictString(body.get(), "MessageType"), "ListDevices");
    EXPECT_EQ(dictString(body.get(), "ClientVersionString"), "Slatecast");
    EXPECT_EQ(dictString(body.get(), "ProgName"), "Slatecast");
}

TEST(UsbmuxClientTest, ConnectRequestSwapsThePortBytes) {
    Script script{frame(resultReply("<integer>3</integer>"))};
    FakeDaemon daemon(scripted(script));
    EXPECT_FALSE(connect(daemon.address(), 0x123456789, 5555).has_value());
    waitServed(daemon, 1);

    ASSERT_TRUE(script.request.has_value());
    EXPECT_EQ(script.request->header.tag, 2u);
    const Plist body = requestBody(script);
    ASSERT_TRUE(body);
    EXPECT_EQ(plist_dict_get_size(body.get()), 5u);
    EXPECT_EQ(dictString(body.get(), "MessageType"), "Connect");
    EXPECT_EQ(dictUnsigned(body.get(), "DeviceID"), 0x123456789u);
    EXPECT_EQ(dictUnsigned(body.get(), "PortNumber"), 45845u);  // 0x15B3 sent as 0xB315
    EXPECT_EQ(dictString(body.get(), "ClientVersionString"), "Slatecast");
    EXPECT_EQ(dictString(body.get(), "ProgName"), "Slatecast");
}

TEST(UsbmuxClientTest, ParsesDevicesInDaemonOrder) {
    const std::string entries =
        usbEntry("<integer>7</integer>", "USB", "first") +
        usbEntry("<integer>4294967297</integer>", "USB", "wide id") +  // above 32 bits
        usbEntry("<integer>9</integer>", "Network", "wireless") +
        usbEntry("<string>10</string>", "USB", "string id") +
        usbEntry("<integer>11</integer>", "USB", std::nullopt) +
        "<dict><key>DeviceID</key><integer>12</integer></dict>" +  // no properties
        "<dict><key>Properties</key><string>x</string></dict>" +   // properties not a dict
        "<dict><key>Properties</key><dict><key>DeviceID</key><integer>13</integer>"
        "</dict></dict>" +  // no connection type
        usbEntry("<integer>14</integer>", "usb", "wrong case");
    Script script{frame(deviceListReply(entries))};
    FakeDaemon daemon(scripted(script));
    const size_t before = test::openDescriptorCount();
    const auto devices = listDevices(daemon.address());
    waitServed(daemon, 1);
    EXPECT_EQ(test::openDescriptorCount(), before);
    EXPECT_EQ(devices, (std::vector<Device>{{7, "first"}, {4294967297, "wide id"}, {11, ""}}));
}

TEST(UsbmuxClientTest, AcceptsBinaryReplies) {
    Plist reply =
        parseDictionary(bytesOf(deviceListReply(usbEntry("<integer>5</integer>", "USB", "bin"))));
    ASSERT_TRUE(reply);
    const auto message = encodeMessage(reply.get(), 1, PlistFormat::binary);
    ASSERT_TRUE(message.has_value());
    ASSERT_TRUE(isBinaryPlist(std::span(*message).subspan(16)));
    Script script{*message};
    FakeDaemon daemon(scripted(script));
    EXPECT_EQ(listDevices(daemon.address()), (std::vector<Device>{{5, "bin"}}));
}

struct MalformedCase {
    const char* name;
    Bytes reply;
    bool holdOpen = false;
};

std::vector<MalformedCase> malformedDeviceListReplies() {
    const std::string good = usbEntry("<integer>1</integer>", "USB", "kept otherwise");
    const Bytes goodFrame = frame(deviceListReply(good));
    Bytes truncated = frameWithLength(uint32_t(goodFrame.size() + 40),
                                      Bytes(goodFrame.begin() + 16, goodFrame.end()));
    return {
        {"no reply at all", {}},
        {"half a header", Bytes{0x20, 0, 0, 0, 1, 0, 0, 0}},
        {"garbage body", frame("this is not a property list \x01\x02\x03")},
        {"empty body", frameWithLength(16, {})},
        {"length 15", frameWithLength(15, bytesOf(deviceListReply(good)))},
        {"length 0", frameWithLength(0, bytesOf(deviceListReply(good)))},
        {"truncated body", truncated},
        {"huge length, connection held open", frameWithLength(0xFFFFFFF0u, bytesOf("<?xml")), true},
        {"length just over the limit, held open", frameWithLength(maxMessageLength + 1, {}), true},
        {"root is an array", frame(plistDoc("<array>" + good + "</array>"))},
        {"no device list",
         frame(plistDoc("<dict><key>Other</key><array>" + good + "</array></dict>"))},
        {"device list is a dictionary",
         frame(plistDoc("<dict><key>DeviceList</key><dict/></dict>"))},
        {"one element is not a dictionary",
         frame(deviceListReply(good + "<string>stray</string>"))},
        {"binary magic then junk", frame("bplist00\xff\xff\xff\xff\xff\xff")},
    };
}

TEST(UsbmuxClientTest, MalformedDeviceListRepliesYieldNothing) {
    for (const auto& c : malformedDeviceListReplies()) {
        SCOPED_TRACE(c.name);
        Script script(c.reply, c.holdOpen);
        FakeDaemon daemon(scripted(script));
        const size_t before = test::openDescriptorCount();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(listDevices(daemon.address()).empty());
        // An announced length is rejected from the header alone, not after the 3 s timeout.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        waitServed(daemon, 1);
        EXPECT_EQ(test::openDescriptorCount(), before);
    }
}

TEST(UsbmuxClientTest, ConnectRefusalsYieldNothingAndCloseTheSocket) {
    const std::pair<const char*, Bytes> cases[] = {
        {"number 3", frame(resultReply("<integer>3</integer>"))},
        {"number 2", frame(resultReply("<integer>2</integer>"))},
        {"number as string", frame(resultReply("<string>0</string>"))},
        {"number as real", frame(resultReply("<real>0</real>"))},
        {"number missing", frame(plistDoc("<dict><key>MessageType</key>"
                                          "<string>Result</string></dict>"))},
        {"garbage", frame("\x01\x02garbage")},
        {"length 15", frameWithLength(15, bytesOf(resultReply("<integer>0</integer>")))},
        {"huge length", frameWithLength(0x7FFFFFFF, {})},
        {"no reply", {}},
    };
    for (const auto& [name, reply] : cases) {
        SCOPED_TRACE(name);
        Script script{reply};
        FakeDaemon daemon(scripted(script));
        const size_t before = test::openDescriptorCount();
        EXPECT_FALSE(connect(daemon.address(), 1, 5555).has_value());
        waitServed(daemon, 1);
        EXPECT_EQ(test::openDescriptorCount(), before);
    }
}

TEST(UsbmuxClientTest, ConnectHandsOverTheRawStreamWithoutTimeouts) {
    // The daemon's reply and the device's first bytes arrive in one write: the client must read
    // exactly the reply and leave the rest for the caller.
    Bytes reply = frame(resultReply("<integer>0</integer>"));
    const Bytes tunnel = bytesOf("first device bytes");
    Bytes both = reply;
    both.insert(both.end(), tunnel.begin(), tunnel.end());
    std::optional<Bytes> echoedBack;
    FakeDaemon daemon([&](int fd) {
        if (!readRawMessage(fd)) return;
        writeAll(fd, both);
        echoedBack = readExactly(fd, 4);
    });
    const size_t before = test::openDescriptorCount();
    const auto fd = connect(daemon.address(), 1, 5555);
    ASSERT_TRUE(fd.has_value());
    UniqueFd owned(*fd);
    EXPECT_EQ(readExactly(owned.get(), tunnel.size()), tunnel);
    EXPECT_TRUE(writeAll(owned.get(), bytesOf("pong")));

    timeval rcv{1, 1}, snd{1, 1};
    socklen_t size = sizeof rcv;
    ASSERT_EQ(getsockopt(owned.get(), SOL_SOCKET, SO_RCVTIMEO, &rcv, &size), 0);
    ASSERT_EQ(getsockopt(owned.get(), SOL_SOCKET, SO_SNDTIMEO, &snd, &size), 0);
    EXPECT_EQ(rcv.tv_sec, 0);
    EXPECT_EQ(rcv.tv_usec, 0);
    EXPECT_EQ(snd.tv_sec, 0);
    EXPECT_EQ(snd.tv_usec, 0);

    owned.reset();
    waitServed(daemon, 1);
    EXPECT_EQ(echoedBack, bytesOf("pong"));
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(UsbmuxClientTest, SilentDaemonTimesOut) {
    // Accepts and never answers: the 3 s receive timeout ends the call.
    FakeDaemon daemon([](int fd) { test::readToEnd(fd); });
    const size_t before = test::openDescriptorCount();
    EXPECT_TRUE(listDevices(daemon.address()).empty());
    waitServed(daemon, 1);
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(UsbmuxClientTest, AbsentDaemonYieldsNothing) {
    test::TempDir dir;
    uint16_t port = 0;
    UniqueFd bound = test::bindLoopback(port, /*listening=*/false);
    ASSERT_TRUE(bound);
    const size_t before = test::openDescriptorCount();
    const auto missing = DaemonAddress::unixSocket(dir.file("no-daemon-here"));
    EXPECT_TRUE(listDevices(missing).empty());
    EXPECT_FALSE(connect(missing, 1, 5555).has_value());
    // Too long for a Unix address: refused rather than truncated to some other path.
    const auto tooLong = DaemonAddress::unixSocket("/tmp/" + std::string(200, 'x'));
    EXPECT_TRUE(listDevices(tooLong).empty());
    EXPECT_FALSE(connect(tooLong, 1, 5555).has_value());
    EXPECT_TRUE(listDevices(DaemonAddress::tcp("127.0.0.1", port)).empty());
    EXPECT_TRUE(listDevices(DaemonAddress::tcp("no-such-host.invalid", 1)).empty());
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(UsbmuxClientTest, ReachesATcpDaemon) {
    Script script{frame(deviceListReply(usbEntry("<integer>2</integer>", "USB", "tcp")))};
    uint16_t port = 0;
    UniqueFd listener = test::bindLoopback(port);
    ASSERT_TRUE(listener);
    test::ScriptedServer daemon(std::move(listener), scripted(script));
    EXPECT_EQ(listDevices(DaemonAddress::tcp("127.0.0.1", port)),
              (std::vector<Device>{{2, "tcp"}}));
}

TEST(UsbmuxClientTest, DefaultCallsFollowTheEnvironment) {
    FakeDaemon daemon([](int fd) {
        const auto request = readRawMessage(fd);
        if (!request) return;
        const Plist body = parseDictionary(request->body);
        if (dictString(body.get(), "MessageType") == "ListDevices") {
            writeAll(fd, frame(deviceListReply(usbEntry("<integer>4</integer>", "USB", "env"))));
        } else {
            writeAll(fd, frame(resultReply("<integer>0</integer>")));
        }
    });
    ASSERT_EQ(setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + daemon.path()).c_str(), 1), 0);
    const auto devices = listDevices();
    const auto connected = connect(4, 5555);
    unsetenv("USBMUXD_SOCKET_ADDRESS");
    EXPECT_EQ(devices, (std::vector<Device>{{4, "env"}}));
    ASSERT_TRUE(connected.has_value());
    ::close(*connected);
}

TEST(UsbmuxClientTest, ConcurrentCallsAreIndependent) {
    FakeDaemon daemon([](int fd) {
        if (readRawMessage(fd)) {
            writeAll(fd, frame(deviceListReply(usbEntry("<integer>1</integer>", "USB", "s"))));
        }
    });
    std::vector<std::thread> callers;
    std::atomic<int> matched{0};
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] {
            if (listDevices(daemon.address()) == std::vector<Device>{{1, "s"}}) ++matched;
        });
    }
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(matched, 8);
}

}  // namespace
}  // namespace panelora::USBMux
