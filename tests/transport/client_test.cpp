// The client against a scripted fake daemon: what it sends, and how it treats every kind of
// reply, including broken ones. Each case also checks that no descriptor is left open.

#include "process_counts.h"
#include "servers.h"
#include "test_prelude.h"
#include "transport/plist_message.h"
#include "transport/usbmux_address.h"
#include "transport/usbmux_client.h"

namespace panelora::test {
namespace {

using namespace USBMux;
using Bytes = std::vector<uint8_t>;

// A reply message: header (length, version 1, plist type 8, tag 1, little-endian) and body.
Bytes frameWithLength(uint32_t length, const Bytes& body) {
    auto header = encodeHeader(MessageHeader{length, 1, 8, 1});
    return join({Bytes(header.begin(), header.end()), body});
}
Bytes frame(const std::string& body) {
    return frameWithLength(uint32_t(16 + body.size()), bytesOf(body));
}

std::string plistDoc(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + inner +
           "</plist>";
}
std::string usbEntry(const std::string& idXml, const std::string& type,
                     std::optional<std::string> serial) {
    return "<dict><key>DeviceID</key>" + idXml +
           "<key>MessageType</key><string>Attached</string><key>Properties</key><dict>"
           "<key>ConnectionType</key><string>" +
           type + "</string><key>DeviceID</key>" + idXml +
           (serial ? "<key>SerialNumber</key><string>" + *serial + "</string>" : "") +
           "</dict></dict>";
}
std::string deviceList(const std::string& entries) {
    return plistDoc("<dict><key>DeviceList</key><array>" + entries + "</array></dict>");
}
std::string result(const std::string& numberXml) {
    return plistDoc("<dict><key>MessageType</key><string>Result</string><key>Number</key>" +
                    numberXml + "</dict>");
}

// One connection: the request as received, then the scripted reply.
struct Script {
    Script(Bytes reply = {}, bool holdOpen = false) : reply(std::move(reply)), holdOpen(holdOpen) {}
    Bytes reply;
    bool holdOpen;  // keep the connection until the client closes it
    Bytes requestHeader;
    Plist request;
};
ScriptedServer::Handler scripted(Script& script) {
    return [&script](int fd) {
        auto header = readExactly(fd, 16);
        if (!header) return;
        script.requestHeader = *header;
        const auto decoded = decodeHeader(std::span<const uint8_t, 16>(header->data(), 16));
        if (decoded.length < 16 || decoded.length > maxMessageLength) return;
        if (auto body = readExactly(fd, decoded.length - 16))
            script.request = parseDictionary(*body);
        if (!script.reply.empty()) writeAll(fd, script.reply);
        if (script.holdOpen) closedWithin(fd, 10s);
    };
}

// Runs `call` against a daemon that answers with `reply`; checks that one connection was
// served and nothing was left open.
template <class Call>
void withDaemon(Script& script, Call call) {
    FakeDaemon daemon(scripted(script));
    const int before = openDescriptorCount();
    call(daemon.address());
    EXPECT_TRUE(eventually([&] { return daemon.served() == 1; }));
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(UsbmuxClientTest, RequestsCarryExactlyTheirKeys) {
    Script list{frame(deviceList(""))};
    withDaemon(list, [](auto address) { EXPECT_TRUE(listDevices(address).empty()); });
    // Version 1, property-list message, tag 1; an XML body of three keys.
    EXPECT_EQ(Bytes(list.requestHeader.begin() + 4, list.requestHeader.end()),
              hex("01000000 08000000 01000000"));
    ASSERT_TRUE(list.request);
    EXPECT_EQ(plist_dict_get_size(list.request.get()), 3u);
    EXPECT_EQ(dictString(list.request.get(), "MessageType"), "ListDevices");
    EXPECT_EQ(dictString(list.request.get(), "ClientVersionString"), "Slatecast");
    EXPECT_EQ(dictString(list.request.get(), "ProgName"), "Slatecast");

    Script connection{frame(result("<integer>3</integer>"))};
    withDaemon(connection, [](auto address) { EXPECT_FALSE(connect(address, 0x123456789, 5555)); });
    EXPECT_EQ(connection.requestHeader[12], 2);  // tag 2
    ASSERT_TRUE(connection.request);
    EXPECT_EQ(plist_dict_get_size(connection.request.get()), 5u);
    EXPECT_EQ(dictString(connection.request.get(), "MessageType"), "Connect");
    EXPECT_EQ(dictUnsigned(connection.request.get(), "DeviceID"), 0x123456789u);
    EXPECT_EQ(dictUnsigned(connection.request.get(), "PortNumber"), 45845u);  // 0x15B3 swapped
}

TEST(UsbmuxClientTest, ListsUsbDevicesInDaemonOrder) {
    Script script{frame(deviceList(
        usbEntry("<integer>7</integer>", "USB", "first") +
        usbEntry("<integer>4294967297</integer>", "USB", "wide id") +  // above 32 bits
        usbEntry("<integer>9</integer>", "Network", "wireless") +
        usbEntry("<string>10</string>", "USB", "string id") +
        usbEntry("<integer>11</integer>", "USB", std::nullopt) +
        "<dict><key>DeviceID</key><integer>12</integer></dict>" +  // no properties
        "<dict><key>Properties</key><string>x</string></dict>" +   // properties not a dict
        "<dict><key>Properties</key><dict><key>DeviceID</key><integer>13</integer></dict></dict>" +
        usbEntry("<integer>14</integer>", "usb", "wrong case")))};
    withDaemon(script, [](auto address) {
        EXPECT_EQ(listDevices(address),
                  (std::vector<Device>{{7, "first"}, {4294967297, "wide id"}, {11, ""}}));
    });
    // The same reply in the binary format.
    Plist reply =
        parseDictionary(bytesOf(deviceList(usbEntry("<integer>5</integer>", "USB", "b"))));
    auto binary = encodeMessage(reply.get(), 1, PlistFormat::binary);
    ASSERT_TRUE(binary && isBinaryPlist(std::span(*binary).subspan(16)));
    Script binaryScript{*binary};
    withDaemon(binaryScript, [](auto address) {
        EXPECT_EQ(listDevices(address), (std::vector<Device>{{5, "b"}}));
    });
}

// Neither a device list nor a connect takes anything from a broken or refusing reply, and each
// closes its socket.
TEST(UsbmuxClientTest, MalformedOrRefusingRepliesYieldNothingAtOnce) {
    const std::string good = usbEntry("<integer>1</integer>", "USB", "kept otherwise");
    const Bytes goodFrame = frame(deviceList(good));
    struct {
        const char* name;
        Script script;
    } cases[] = {
        {"no reply at all", {}},
        {"half a header", {hex("20000000 01000000")}},
        {"garbage body", {frame("this is not a property list \x01\x02\x03")}},
        {"empty body", {frameWithLength(16, {})}},
        {"length 15", {frameWithLength(15, bytesOf(deviceList(good)))}},
        {"truncated body",
         {frameWithLength(uint32_t(goodFrame.size() + 40),
                          Bytes(goodFrame.begin() + 16, goodFrame.end()))}},
        {"huge length, held open", {frameWithLength(0xFFFFFFF0u, bytesOf("<?xml")), true}},
        {"just over the limit, held open", {frameWithLength(maxMessageLength + 1, {}), true}},
        {"root is an array", {frame(plistDoc("<array>" + good + "</array>"))}},
        {"no device list", {frame(plistDoc("<dict><key>Other</key><array/></dict>"))}},
        {"device list is a dictionary",
         {frame(plistDoc("<dict><key>DeviceList</key><dict/></dict>"))}},
        {"one element is not a dictionary", {frame(deviceList(good + "<string>stray</string>"))}},
        {"binary magic then junk", {frame("bplist00\xff\xff\xff\xff\xff\xff")}},
        {"result 3", {frame(result("<integer>3</integer>"))}},
        {"result as string", {frame(result("<string>0</string>"))}},
        {"result missing",
         {frame(plistDoc("<dict><key>MessageType</key><string>Result</string></dict>"))}},
    };
    for (auto& [name, script] : cases) {
        SCOPED_TRACE(name);
        // An announced length is rejected from the header alone, not after the 3 s timeout.
        const auto start = std::chrono::steady_clock::now();
        withDaemon(script, [](auto address) { EXPECT_TRUE(listDevices(address).empty()); });
        withDaemon(script, [](auto address) { EXPECT_FALSE(connect(address, 1, 5555)); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    }
}

TEST(UsbmuxClientTest, ConnectHandsOverTheRawStreamWithoutTimeouts) {
    // The daemon's reply and the device's first bytes arrive in one write: the client must read
    // exactly the reply and leave the rest for the caller.
    std::optional<Bytes> echoedBack;
    FakeDaemon daemon([&](int fd) {
        if (!readRawMessage(fd)) return;
        writeAll(fd, join({frame(result("<integer>0</integer>")), bytesOf("first device bytes")}));
        echoedBack = readExactly(fd, 4);
    });
    const int before = openDescriptorCount();
    const auto fd = connect(daemon.address(), 1, 5555);
    ASSERT_TRUE(fd);
    UniqueFd owned(*fd);
    EXPECT_EQ(readExactly(owned.get(), 18), bytesOf("first device bytes"));
    EXPECT_TRUE(writeAll(owned.get(), bytesOf("pong")));
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        timeval timeout{1, 1};
        socklen_t size = sizeof timeout;
        ASSERT_EQ(getsockopt(owned.get(), SOL_SOCKET, option, &timeout, &size), 0);
        EXPECT_TRUE(timeout.tv_sec == 0 && timeout.tv_usec == 0) << option;
    }
    owned.reset();
    ASSERT_TRUE(eventually([&] { return daemon.served() == 1; }));
    EXPECT_EQ(echoedBack, bytesOf("pong"));
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(UsbmuxClientTest, AbsentOrSilentDaemonYieldsNothing) {
    TempDir dir;
    uint16_t port = 0;
    UniqueFd bound = bindLoopback(port, /*listening=*/false);
    ASSERT_TRUE(bound);
    const int before = openDescriptorCount();
    // Too long for a Unix address: refused rather than truncated to some other path.
    for (const auto& address : {DaemonAddress::unixSocket(dir.file("no-daemon-here")),
                                DaemonAddress::unixSocket("/tmp/" + std::string(200, 'x'))}) {
        EXPECT_TRUE(listDevices(address).empty());
        EXPECT_FALSE(connect(address, 1, 5555));
    }
    EXPECT_TRUE(listDevices(DaemonAddress::tcp("127.0.0.1", port)).empty());
    EXPECT_TRUE(listDevices(DaemonAddress::tcp("no-such-host.invalid", 1)).empty());
    EXPECT_EQ(openDescriptorCount(), before);
    // Accepts and never answers: the 3 s receive timeout ends the call.
    Script silent{{}, true};
    withDaemon(silent, [](auto address) { EXPECT_TRUE(listDevices(address).empty()); });
}

TEST(UsbmuxClientTest, ConcurrentCallsAreIndependent) {
    FakeDaemon daemon([](int fd) {
        if (readRawMessage(fd))
            writeAll(fd, frame(deviceList(usbEntry("<integer>1</integer>", "USB", "s"))));
    });
    std::vector<std::future<std::vector<Device>>> calls;
    for (int i = 0; i < 8; ++i)
        calls.push_back(
            std::async(std::launch::async, [&] { return listDevices(daemon.address()); }));
    for (auto& call : calls)
        EXPECT_EQ(call.get(), (std::vector<Device>{{1, "s"}}));
}

const DaemonAddress kDefault = DaemonAddress::unixSocket("/var/run/usbmuxd");

// Read at each call, so every row gets its own value.
TEST(DaemonAddressTest, ReadFromTheEnvironmentLikeTheClientLibrary) {
    const std::tuple<const char*, std::optional<std::string>, DaemonAddress> cases[] = {
        {"unset", std::nullopt, kDefault},
        {"empty", "", kDefault},
        {"unix path", "UNIX:/tmp/sim.sock", DaemonAddress::unixSocket("/tmp/sim.sock")},
        {"unix prefix without path", "UNIX:", kDefault},
        {"lower-case prefix is a host name", "unix:27015", DaemonAddress::tcp("unix", 27015)},
        {"ipv4 host", "127.0.0.1:27015", DaemonAddress::tcp("127.0.0.1", 27015)},
        {"host name", "localhost:1", DaemonAddress::tcp("localhost", 1)},
        {"highest port", "127.0.0.1:65535", DaemonAddress::tcp("127.0.0.1", 65535)},
        {"bracketed ipv6", "[::1]:27015", DaemonAddress::tcp("::1", 27015)},
        {"bare ipv6 splits at the last colon", "::1:27015", DaemonAddress::tcp("::1", 27015)},
        {"port zero", "127.0.0.1:0", kDefault},
        {"port too large", "127.0.0.1:65536", kDefault},
        {"port with sign", "127.0.0.1:+80", kDefault},
        {"port with trailing text", "127.0.0.1:80x", kDefault},
        {"empty port", "127.0.0.1:", kDefault},
        {"no port", "127.0.0.1", kDefault},
        {"empty host", ":27015", kDefault},
        {"empty bracketed host", "[]:27015", kDefault},
    };
    ScopedEnvironment environment;
    for (const auto& [name, value, expected] : cases) {
        environment.set("USBMUXD_SOCKET_ADDRESS", value);
        EXPECT_EQ(daemonAddressFromEnvironment(), expected) << name;
    }
}

}  // namespace
}  // namespace panelora::test
