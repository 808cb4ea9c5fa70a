// The client against the usbmuxd simulator over real sockets, and the simulator's relay.
#include "process_counts.h"
#include "servers.h"
#include "test_prelude.h"
#include "tool_rig.h"
#include "transport/plist_message.h"
#include "transport/usbmux_client.h"

namespace panelora::test {
namespace {

using namespace USBMux;

std::string device(const std::string& serial, const std::string& type, uint16_t port,
                   const std::string& flag = {}) {
    return serial + "," + type + ",127.0.0.1:" + std::to_string(port) + (flag.empty() ? "" : ",") +
           flag;
}

// Only USB devices are listed, in order; connects to a device whose port refuses (result 3) or to
// unknown devices (result 2) yield nothing; garbage from a client closes that connection only.
TEST(UsbmuxSimulatorTest, ListsRefusesAnswersAndSurvivesGarbage) {
    uint16_t closedPort = 0;
    UniqueFd bound = bindLoopback(closedPort, /*listening=*/false);  // refuses connections
    auto sim =
        UsbmuxdSim::start({device("first", "USB", closedPort), device("wifi", "Network", 2),
                           device("noserial", "USB", 3, "no-serial"),
                           device("textid", "USB", 4, "string-id"), device("last", "USB", 5)});
    ASSERT_TRUE(sim);
    const int before = openDescriptorCount();
    const std::vector<Device> listed{{1, "first"}, {3, ""}, {5, "last"}};
    EXPECT_EQ(listDevices(sim->address()), listed);
    for (int64_t id : {1, 99, 0, -1})
        EXPECT_FALSE(connect(sim->address(), id, 5555)) << id;
    EXPECT_EQ(openDescriptorCount(), before);
    for (const char* junk : {"FFFFFFFF 01000000 08000000 01000000",  // 4 GiB announced
                             "03000000",                             // short header
                             "14000000 01000000 08000000 01000000 6A756E6B"}) {
        UniqueFd fd = unixSocket(sim->socketPath(), false);
        ASSERT_TRUE(fd);
        writeAll(fd.get(), hex(junk));
        ::shutdown(fd.get(), SHUT_WR);
        EXPECT_TRUE(closedWithin(fd.get(), 5s)) << junk;  // closed on us, nothing else
    }
    EXPECT_EQ(listDevices(sim->address()), listed);

    // Answers in the request's format with its tag; unknown requests get result 1.
    auto exchange = [&](const char* type, uint32_t tag, PlistFormat format) {
        Plist request(plist_new_dict());
        plist_dict_set_item(request.get(), "MessageType", plist_new_string(type));
        UniqueFd fd = unixSocket(sim->socketPath(), false);
        return sendMessage(fd.get(), request.get(), tag, format) ? readRawMessage(fd.get())
                                                                 : std::nullopt;
    };
    for (const PlistFormat format : {PlistFormat::xml, PlistFormat::binary}) {
        const auto reply = exchange("ListDevices", 77, format);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header.tag, 77u);
        EXPECT_EQ(reply->header.type, 8u);
        EXPECT_EQ(isBinaryPlist(reply->body), format == PlistFormat::binary);
        const Plist body = parseDictionary(reply->body);
        plist_t list = plist_dict_get_item(body.get(), "DeviceList");
        ASSERT_EQ(plist_array_get_size(list), 5u);
        // Besides what the client reads, the keys a real daemon sends.
        plist_t props = plist_dict_get_item(plist_array_get_item(list, 0), "Properties");
        for (const char* key : {"LocationID", "ProductID", "ConnectionSpeed"})
            EXPECT_TRUE(dictUnsigned(props, key)) << key;
    }
    const auto reply = exchange("NoSuchThing", 5, PlistFormat::xml);
    ASSERT_TRUE(reply);
    const Plist body = parseDictionary(reply->body);
    EXPECT_EQ(dictString(body.get(), "MessageType"), "Result");
    EXPECT_EQ(dictUnsigned(body.get(), "Number"), 1u);
}

// It stops on SIGTERM, an open tunnel notwithstanding, removing its socket. The relay itself
// carries every byte of the end-to-end and program tests.
TEST(UsbmuxSimulatorTest, StopsOnSigtermWithATunnelOpen) {
    EchoServer echo;
    auto sim = UsbmuxdSim::start({device("tab", "USB", echo.port())});
    ASSERT_TRUE(sim);
    const auto fd = connect(sim->address(), 1, 5555);
    ASSERT_TRUE(fd);
    UniqueFd tunnel(*fd);
    sim->process().signal(SIGTERM);
    EXPECT_EQ(sim->process().wait(std::chrono::seconds(10)), 0);
    EXPECT_FALSE(std::filesystem::exists(sim->socketPath()));
}

TEST(UsbmuxSimulatorTest, RejectsBadCommandLines) {
    const std::vector<std::vector<std::string>> bad{
        {},
        {"--socket"},
        {"--socket", "/tmp/x.sock", "--device", "a,USB"},
        {"--socket", "/tmp/x.sock", "--device", "a,USB,127.0.0.1:0"},
        {"--socket", "/tmp/x.sock", "--device", "a,USB,127.0.0.1:1,bogus"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{usbmuxdSimPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto child = ChildProcess::start(argv, ChildProcess::Options().stderrMerged());
        ASSERT_TRUE(child);
        EXPECT_EQ(child->wait(std::chrono::seconds(5)), 2) << child->output();
    }
}

}  // namespace
}  // namespace panelora::test
