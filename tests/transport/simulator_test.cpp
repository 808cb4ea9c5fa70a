// The client against the usbmuxd simulator over real sockets, and the simulator's relay.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <thread>

#include "test_support.h"
#include "transport/plist_message.h"
#include "transport/socket_io.h"
#include "transport/usbmux_client.h"

namespace panelora::USBMux {
namespace {

using test::SimProcess;

std::string target(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 10));
    return bytes;
}

TEST(UsbmuxSimulatorTest, ListsOnlyUsbDevicesInOrder) {
    SimProcess sim({"first,USB," + target(1), "wifi,Network," + target(2),
                    "noserial,USB," + target(3) + ",no-serial",
                    "textid,USB," + target(4) + ",string-id", "last,USB," + target(5)});
    ASSERT_TRUE(sim.ready()) << sim.child().output();
    const size_t before = test::openDescriptorCount();
    EXPECT_EQ(listDevices(sim.address()),
              (std::vector<Device>{{1, "first"}, {3, ""}, {5, "last"}}));
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(UsbmuxSimulatorTest, ConnectRelaysBothWaysAndPassesHalfClose) {
    test::EchoServer echo;
    SimProcess sim({"tab,USB," + target(echo.port())});
    ASSERT_TRUE(sim.ready()) << sim.child().output();

    const auto fd = connect(sim.address(), 1, 5555);
    ASSERT_TRUE(fd.has_value());
    UniqueFd tunnel(*fd);
    // Several megabytes: more than every buffer on the way, so the relay really streams.
    const auto sent = pattern(6 << 20, 3);
    std::thread writer([&] {
        EXPECT_TRUE(writeAll(tunnel.get(), sent));
        ::shutdown(tunnel.get(), SHUT_WR);  // the echo server sees the end, then ends its side
    });
    const auto received = test::readToEnd(tunnel.get());
    writer.join();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->size(), sent.size());
    EXPECT_TRUE(*received == sent);
}

TEST(UsbmuxSimulatorTest, ManyTunnelsAtOnce) {
    test::EchoServer echo;
    SimProcess sim({"tab,USB," + target(echo.port())});
    ASSERT_TRUE(sim.ready()) << sim.child().output();
    constexpr int kClients = 8;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            const auto fd = connect(sim.address(), 1, 5555);
            if (!fd) return;
            UniqueFd tunnel(*fd);
            const auto sent = pattern(256 * 1024, uint8_t(i));
            std::thread writer([&] {
                writeAll(tunnel.get(), sent);
                ::shutdown(tunnel.get(), SHUT_WR);
            });
            const auto got = test::readToEnd(tunnel.get());
            writer.join();
            if (got && *got == sent) ++intact;
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(intact, kClients);
}

TEST(UsbmuxSimulatorTest, RefusedAndUnknownConnectsYieldNothing) {
    uint16_t closedPort = 0;
    UniqueFd bound = test::bindLoopback(closedPort, /*listening=*/false);  // refuses connections
    ASSERT_TRUE(bound);
    SimProcess sim({"tab,USB," + target(closedPort)});
    ASSERT_TRUE(sim.ready()) << sim.child().output();
    const size_t before = test::openDescriptorCount();
    EXPECT_FALSE(connect(sim.address(), 1, 5555).has_value());   // result 3
    EXPECT_FALSE(connect(sim.address(), 99, 5555).has_value());  // result 2
    EXPECT_FALSE(connect(sim.address(), 0, 5555).has_value());
    EXPECT_FALSE(connect(sim.address(), -1, 5555).has_value());
    EXPECT_EQ(test::openDescriptorCount(), before);
}

// Sends one request in the given format and returns the raw reply.
std::optional<RawMessage> exchange(const std::string& socketPath, plist_t request, uint32_t tag,
                                   PlistFormat format) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    if (!sendMessage(fd.get(), request, tag, format)) return std::nullopt;
    return readRawMessage(fd.get());
}

TEST(UsbmuxSimulatorTest, AnswersInTheRequestsFormatWithItsTag) {
    SimProcess sim({"tab,USB," + target(1)});
    ASSERT_TRUE(sim.ready()) << sim.child().output();
    Plist request(plist_new_dict());
    plist_dict_set_item(request.get(), "MessageType", plist_new_string("ListDevices"));

    for (const PlistFormat format : {PlistFormat::xml, PlistFormat::binary}) {
        SCOPED_TRACE(format == PlistFormat::xml ? "xml" : "binary");
        const auto reply = exchange(sim.socketPath(), request.get(), 77, format);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->header.tag, 77u);
        EXPECT_EQ(reply->header.type, 8u);
        EXPECT_EQ(isBinaryPlist(reply->body), format == PlistFormat::binary);
        const Plist body = parseDictionary(reply->body);
        ASSERT_TRUE(body);
        plist_t list = plist_dict_get_item(body.get(), "DeviceList");
        ASSERT_EQ(plist_array_get_size(list), 1u);
        plist_t props = plist_dict_get_item(plist_array_get_item(list, 0), "Properties");
        EXPECT_EQ(dictString(props, "ConnectionType"), "USB");
        EXPECT_EQ(dictString(props, "SerialNumber"), "tab");
        EXPECT_EQ(dictUnsigned(props, "DeviceID"), 1u);
        EXPECT_TRUE(dictUnsigned(props, "LocationID").has_value());
        EXPECT_TRUE(dictUnsigned(props, "ProductID").has_value());
        EXPECT_TRUE(dictUnsigned(props, "ConnectionSpeed").has_value());
    }

    Plist unknown(plist_new_dict());
    plist_dict_set_item(unknown.get(), "MessageType", plist_new_string("NoSuchThing"));
    const auto reply = exchange(sim.socketPath(), unknown.get(), 5, PlistFormat::xml);
    ASSERT_TRUE(reply.has_value());
    const Plist body = parseDictionary(reply->body);
    EXPECT_EQ(dictString(body.get(), "MessageType"), "Result");
    EXPECT_EQ(dictUnsigned(body.get(), "Number"), 1u);
}

TEST(UsbmuxSimulatorTest, SurvivesGarbageFromClients) {
    SimProcess sim({"tab,USB," + target(1)});
    ASSERT_TRUE(sim.ready()) << sim.child().output();
    const std::vector<std::vector<uint8_t>> junk{
        {0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0},  // 4 GiB announced
        {3, 0, 0, 0},                                                  // short header
        {20, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 'j', 'u', 'n', 'k'},
    };
    for (const auto& bytes : junk) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, sim.socketPath().c_str(), sizeof address.sun_path - 1);
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        writeAll(fd.get(), bytes);
        ::shutdown(fd.get(), SHUT_WR);
        EXPECT_TRUE(test::readToEnd(fd.get()).has_value());  // closed on us, nothing else
    }
    EXPECT_EQ(listDevices(sim.address()), (std::vector<Device>{{1, "tab"}}));
}

TEST(UsbmuxSimulatorTest, StopsOnSigtermAndRemovesItsSocket) {
    test::EchoServer echo;
    SimProcess sim({"tab,USB," + target(echo.port())});
    ASSERT_TRUE(sim.ready()) << sim.child().output();
    // An open tunnel must not keep it from stopping.
    const auto fd = connect(sim.address(), 1, 5555);
    ASSERT_TRUE(fd.has_value());
    UniqueFd tunnel(*fd);
    const int status = sim.child().kill(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat info {};
    EXPECT_NE(::stat(sim.socketPath().c_str(), &info), 0);
    const auto rest = test::readToEnd(tunnel.get());  // the tunnel was ended, not left hanging
    ASSERT_TRUE(rest.has_value());
    EXPECT_TRUE(rest->empty());
    EXPECT_TRUE(listDevices(sim.address()).empty());
}

TEST(UsbmuxSimulatorTest, RejectsBadCommandLines) {
    const std::vector<std::vector<std::string>> bad{
        {USBMUXD_SIM_PATH},
        {USBMUXD_SIM_PATH, "--socket"},
        {USBMUXD_SIM_PATH, "--socket", "/tmp/x.sock", "--device", "a,USB"},
        {USBMUXD_SIM_PATH, "--socket", "/tmp/x.sock", "--device", "a,USB,127.0.0.1:0"},
        {USBMUXD_SIM_PATH, "--socket", "/tmp/x.sock", "--device", "a,USB,127.0.0.1:1,bogus"},
    };
    for (const auto& args : bad) {
        test::ChildProcess child(args, test::ChildOptions().withStderr());
        ASSERT_TRUE(child.started());
        int status = 0;
        ASSERT_TRUE(child.waitExit(std::chrono::seconds(5), status));
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2);
    }
}

}  // namespace
}  // namespace panelora::USBMux
