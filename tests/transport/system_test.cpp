// Against real programs: the platform's usbmuxd daemon (no device attached), and the
// libusbmuxd command-line tools talking to the simulator.
#include <sys/stat.h>

#include "process_counts.h"
#include "servers.h"
#include "test_prelude.h"
#include "tool_rig.h"
#include "transport/usbmux_client.h"

namespace panelora::test {
namespace {

using namespace USBMux;

bool daemonAnswers(const std::string& path) {
    return bool(unixSocket(path, false));
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
    const std::string daemon = findProgram("usbmuxd");
    if (daemon.empty()) GTEST_SKIP() << "usbmuxd is not installed";
    if (geteuid() != 0) GTEST_SKIP() << "usbmuxd must run as root to bind " << socketPath;
    if (daemonAnswers(socketPath)) GTEST_SKIP() << "a usbmuxd already listens; left alone";
    // Whatever it leaves that was not there before is removed afterwards.
    std::vector<std::string> leftovers;
    for (const std::string& path : {socketPath, socketPath + ".pid"}) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) leftovers.push_back(path);
    }
    struct Cleanup {
        std::vector<std::string>& paths;
        ~Cleanup() {
            for (const auto& path : paths)
                ::unlink(path.c_str());
        }
    } cleanup{leftovers};

    // Foreground, no hot-plug discovery, no privilege drop.
    auto child = ChildProcess::start({daemon, "-f", "-n", "-U", "root"},
                                     ChildProcess::Options().stderrMerged());
    ASSERT_TRUE(child);
    if (!eventually([&] { return daemonAnswers(socketPath) || !child->running(); }, 5s) ||
        !child->running()) {
        GTEST_SKIP() << "usbmuxd did not start: " << child->output();
    }
    unsetenv("USBMUXD_SOCKET_ADDRESS");
    const int before = openDescriptorCount();
    EXPECT_TRUE(listDevices().empty());  // the default address
    const auto connected = connect(1, 5555);
    EXPECT_FALSE(connected);
    if (connected) ::close(*connected);
    EXPECT_EQ(openDescriptorCount(), before);
    child->signal(SIGTERM);
    EXPECT_EQ(child->wait(10s), 0) << child->output();
}

class UsbmuxToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_ = UsbmuxdSim::start({"tool-tablet,USB,127.0.0.1:" + std::to_string(echo_.port())});
        ASSERT_TRUE(sim_);
    }
    ChildProcess::Options options() const {
        return ChildProcess::Options()
            .set("USBMUXD_SOCKET_ADDRESS=UNIX:" + sim_->socketPath())
            .stderrMerged();
    }

    EchoServer echo_;
    std::unique_ptr<UsbmuxdSim> sim_;
};

TEST_F(UsbmuxToolsTest, IproxyForwardsALocalPort) {
    const std::string iproxy = findProgram("iproxy");
    if (iproxy.empty()) GTEST_SKIP() << "iproxy (libusbmuxd-tools) is not installed";
    uint16_t localPort = 0;
    bindLoopback(localPort);  // picks a free port; released at once for iproxy
    auto child = ChildProcess::start(
        {iproxy, std::to_string(localPort) + ":5555", "-u", "tool-tablet"}, options());
    ASSERT_TRUE(child);
    UniqueFd fd;
    ASSERT_TRUE(eventually([&] { return bool(fd = connectLoopback(localPort)); }, 5s))
        << "iproxy never listened: " << child->output();
    const timeval timeout{10, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<uint8_t> sent(200000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 13);
    std::thread writer([&] { EXPECT_TRUE(writeAll(fd.get(), sent)); });
    const auto got = readExactly(fd.get(), sent.size());
    writer.join();
    EXPECT_EQ(got, sent) << child->output();
}

}  // namespace
}  // namespace panelora::test
