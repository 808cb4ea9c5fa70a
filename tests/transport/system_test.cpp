// Against real programs: the platform's usbmuxd daemon (no device attached), and the
// libusbmuxd command-line tools talking to the simulator.
#include "process_counts.h"
#include "servers.h"
#include "test_prelude.h"
#include "tool_rig.h"
#include "transport/usbmux_client.h"

namespace panelora::test {
namespace {

using namespace USBMux;

// Where Debian's packages put them (usbmuxd, libusbmuxd-tools).
constexpr const char* kDaemon = "/usr/sbin/usbmuxd";
constexpr const char* kIproxy = "/usr/bin/iproxy";

TEST(UsbmuxRealDaemonTest, EmptyListAndRefusedConnectWithNoDevice) {
    const std::string socketPath(defaultDaemonSocketPath);
    if (::access(kDaemon, X_OK) != 0) GTEST_SKIP() << "usbmuxd is not installed";
    if (geteuid() != 0) GTEST_SKIP() << "usbmuxd must run as root to bind " << socketPath;
    if (unixSocket(socketPath, false)) GTEST_SKIP() << "a usbmuxd already listens; left alone";
    // Whatever it leaves that was not there before is removed afterwards.
    std::vector<std::string> leftovers;
    for (const std::string& path : {socketPath, socketPath + ".pid"})
        if (!std::filesystem::exists(std::filesystem::symlink_status(path)))
            leftovers.push_back(path);
    struct Cleanup {
        std::vector<std::string>& paths;
        ~Cleanup() {
            for (const auto& path : paths)
                ::unlink(path.c_str());
        }
    } cleanup{leftovers};

    // Foreground, no hot-plug discovery, no privilege drop.
    auto child = ChildProcess::start({kDaemon, "-f", "-n", "-U", "root"},
                                     ChildProcess::Options().stderrMerged());
    ASSERT_TRUE(child);
    if (!eventually([&] { return unixSocket(socketPath, false) || !child->running(); }, 5s) ||
        !child->running()) {
        GTEST_SKIP() << "usbmuxd did not start: " << child->output();
    }
    unsetenv("USBMUXD_SOCKET_ADDRESS");
    const int before = openDescriptorCount();
    EXPECT_TRUE(listDevices().empty());  // the default address
    EXPECT_FALSE(connect(1, 5555));      // a descriptor it returned would show in the count
    EXPECT_EQ(openDescriptorCount(), before);
    child->signal(SIGTERM);
    EXPECT_EQ(child->wait(10s), 0) << child->output();
}

TEST(UsbmuxToolsTest, IproxyForwardsALocalPortThroughTheSimulator) {
    if (::access(kIproxy, X_OK) != 0) GTEST_SKIP() << "iproxy (libusbmuxd-tools) is not installed";
    EchoServer echo;
    auto sim = UsbmuxdSim::start({"tool-tablet,USB,127.0.0.1:" + std::to_string(echo.port())});
    ASSERT_TRUE(sim);
    uint16_t localPort = 0;
    bindLoopback(localPort);  // picks a free port; released at once for iproxy
    auto child =
        ChildProcess::start({kIproxy, std::to_string(localPort) + ":5555", "-u", "tool-tablet"},
                            ChildProcess::Options()
                                .set("USBMUXD_SOCKET_ADDRESS=UNIX:" + sim->socketPath())
                                .stderrMerged());
    ASSERT_TRUE(child);
    UniqueFd fd;
    ASSERT_TRUE(eventually([&] { return bool(fd = connectLoopback(localPort)); }, 5s))
        << "iproxy never listened: " << child->output();
    const timeval timeout{10, 0};  // a stuck relay fails here, with iproxy's output
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const auto sent = pattern(200000);
    std::thread writer([&] { EXPECT_TRUE(writeAll(fd.get(), sent)); });
    const auto got = readExactly(fd.get(), sent.size());
    writer.join();
    EXPECT_EQ(got, sent) << child->output();
}

}  // namespace
}  // namespace panelora::test
