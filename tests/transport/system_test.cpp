// Against real programs: the platform's usbmuxd daemon (no device attached), and the
// libusbmuxd command-line tools talking to the simulator.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <thread>

#include "test_support.h"
#include "transport/socket_io.h"
#include "transport/usbmux_client.h"

namespace panelora::USBMux {
namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool daemonAnswers(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

std::string findProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

TEST(UsbmuxRealDaemonTest, EmptyListAndRefusedConnectWithNoDevice) {
    const std::string socketPath(defaultDaemonSocketPath);
    const std::string pidPath = socketPath + ".pid";
    const std::string daemon = findProgram("usbmuxd");
    if (daemon.empty()) GTEST_SKIP() << "usbmuxd is not installed";
    if (geteuid() != 0) GTEST_SKIP() << "usbmuxd must run as root to bind " << socketPath;
    if (daemonAnswers(socketPath)) {
        GTEST_SKIP() << "a usbmuxd is already listening on " << socketPath << "; left alone";
    }
    const bool socketExisted = exists(socketPath);
    const bool pidExisted = exists(pidPath);

    // Foreground, no hot-plug discovery, no privilege drop.
    test::ChildProcess child({daemon, "-f", "-n", "-U", "root"}, test::ChildOptions().withStderr());
    ASSERT_TRUE(child.started());
    bool up = false;
    for (int i = 0; i < 500 && !up; ++i) {
        int status = 0;
        if (child.waitExit(10ms, status)) break;
        up = daemonAnswers(socketPath);
    }
    if (!up) {
        child.kill();
        child.waitForOutput("\n\n", 200ms);  // collect whatever it said
        if (!socketExisted) ::unlink(socketPath.c_str());
        if (!pidExisted) ::unlink(pidPath.c_str());
        GTEST_SKIP() << "usbmuxd did not start: " << child.output();
    }

    unsetenv("USBMUXD_SOCKET_ADDRESS");
    const size_t before = test::openDescriptorCount();
    const auto devices = listDevices();  // the default address
    const auto connected = connect(1, 5555);
    const size_t after = test::openDescriptorCount();

    const int status = child.kill(SIGTERM);
    if (!socketExisted) ::unlink(socketPath.c_str());
    if (!pidExisted) ::unlink(pidPath.c_str());

    EXPECT_TRUE(devices.empty());
    EXPECT_FALSE(connected.has_value());
    if (connected) ::close(*connected);
    EXPECT_EQ(after, before);
    EXPECT_TRUE(WIFEXITED(status)) << child.output();
}

class UsbmuxToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_ = std::make_unique<test::SimProcess>(
            std::vector<std::string>{"tool-tablet,USB,127.0.0.1:" + std::to_string(echo_.port())});
        ASSERT_TRUE(sim_->ready()) << sim_->child().output();
    }
    std::string envAddress() const { return "USBMUXD_SOCKET_ADDRESS=UNIX:" + sim_->socketPath(); }

    test::EchoServer echo_;
    std::unique_ptr<test::SimProcess> sim_;
};

TEST_F(UsbmuxToolsTest, InetcatReachesTheEchoServerThroughTheSimulator) {
    const std::string inetcat = findProgram("inetcat");
    if (inetcat.empty()) GTEST_SKIP() << "inetcat (libusbmuxd-tools) is not installed";
    test::ChildProcess child({inetcat, "-u", "tool-tablet", "5555"},
                             test::ChildOptions().env(envAddress()).withStdin());
    ASSERT_TRUE(child.started());
    const std::string line = "ping through inetcat and the simulated cable\n";
    ASSERT_TRUE(writeAll(child.stdinFd(),
                         std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size())));
    EXPECT_TRUE(child.waitForOutput(line, 10s)) << "got: " << child.output();
    child.closeStdin();
    int status = 0;
    EXPECT_TRUE(child.waitExit(10s, status));
}

TEST_F(UsbmuxToolsTest, IproxyForwardsALocalPort) {
    const std::string iproxy = findProgram("iproxy");
    if (iproxy.empty()) GTEST_SKIP() << "iproxy (libusbmuxd-tools) is not installed";
    uint16_t localPort = 0;
    test::bindLoopback(localPort);  // picks a free port; released at once for iproxy
    test::ChildProcess child({iproxy, std::to_string(localPort) + ":5555", "-u", "tool-tablet"},
                             test::ChildOptions().env(envAddress()).withStderr());
    ASSERT_TRUE(child.started());

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(localPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    UniqueFd fd;
    for (int i = 0; i < 500; ++i) {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
        fd.reset();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fd) << "iproxy never listened: " << child.output();
    const timeval timeout{10, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<uint8_t> sent(200000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 13);
    std::thread writer([&] { EXPECT_TRUE(writeAll(fd.get(), sent)); });
    const auto got = readExactly(fd.get(), sent.size());
    writer.join();
    ASSERT_TRUE(got.has_value()) << child.output();
    EXPECT_TRUE(*got == sent);
}

}  // namespace
}  // namespace panelora::USBMux
