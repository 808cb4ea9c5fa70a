#include "test_prelude.h"
#include "transport/usbmux_address.h"

namespace panelora::test {
namespace {

using namespace USBMux;

struct AddressCase {
    const char* name;
    std::optional<std::string_view> value;
    DaemonAddress expected;
};

const DaemonAddress kDefault = DaemonAddress::unixSocket("/var/run/usbmuxd");

TEST(DaemonAddressTest, ParsesLikeTheClientLibrary) {
    const AddressCase cases[] = {
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
    for (const auto& c : cases)
        EXPECT_EQ(parseDaemonAddress(c.value), c.expected) << c.name;
}

TEST(DaemonAddressTest, ReadsTheEnvironmentAtEachCall) {
    ScopedEnvironment environment;
    environment.set("USBMUXD_SOCKET_ADDRESS", "UNIX:/tmp/elsewhere");
    EXPECT_EQ(daemonAddressFromEnvironment(), DaemonAddress::unixSocket("/tmp/elsewhere"));
    environment.set("USBMUXD_SOCKET_ADDRESS", std::nullopt);
    EXPECT_EQ(daemonAddressFromEnvironment(), kDefault);
}

}  // namespace
}  // namespace panelora::test
