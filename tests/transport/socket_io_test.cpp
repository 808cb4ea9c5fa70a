#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <numeric>
#include <thread>

#include "test_support.h"
#include "transport/socket_io.h"

namespace panelora {
namespace {

struct SocketPair {
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a.reset(fds[0]);
            b.reset(fds[1]);
        }
    }
    UniqueFd a, b;
};

struct Pipe {
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            readEnd.reset(fds[0]);
            writeEnd.reset(fds[1]);
        }
    }
    UniqueFd readEnd, writeEnd;
};

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    return bytes;
}

TEST(SocketIoTest, LargeTransferArrivesWhole) {
    // Larger than the socket buffers, so both sides loop over partial transfers.
    SocketPair pair;
    const auto sent = pattern(8 << 20);
    std::thread writer([&] { EXPECT_TRUE(writeAll(pair.a.get(), sent)); });
    const auto got = readExactly(pair.b.get(), sent.size());
    writer.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, sent);
}

TEST(SocketIoTest, ReadsIntoCallerBuffer) {
    SocketPair pair;
    const std::vector<uint8_t> sent{1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(writeAll(pair.a.get(), sent));
    std::vector<uint8_t> first(2), rest(4);
    ASSERT_TRUE(readExactly(pair.b.get(), std::span<uint8_t>(first)));
    ASSERT_TRUE(readExactly(pair.b.get(), std::span<uint8_t>(rest)));
    EXPECT_EQ(first, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(rest, (std::vector<uint8_t>{3, 4, 5, 6}));
}

TEST(SocketIoTest, EmptyRequestsSucceedWithoutTouchingTheDescriptor) {
    EXPECT_TRUE(writeAll(-1, {}));
    const auto got = readExactly(-1, 0);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->empty());
}

TEST(SocketIoTest, EndOfStreamBeforeTheCountIsAFailure) {
    SocketPair pair;
    ASSERT_TRUE(writeAll(pair.a.get(), std::vector<uint8_t>{1, 2, 3}));
    pair.a.reset();
    EXPECT_FALSE(readExactly(pair.b.get(), 4).has_value());
}

TEST(SocketIoTest, HugeAnnouncedCountFailsAtEndOfStream) {
    // Storage follows the bytes that arrive, so a lying count costs nothing up front.
    SocketPair pair;
    ASSERT_TRUE(writeAll(pair.a.get(), pattern(1000)));
    pair.a.reset();
    EXPECT_FALSE(readExactly(pair.b.get(), size_t{1} << 40).has_value());
}

TEST(SocketIoTest, ReceiveTimeoutIsAFailure) {
    SocketPair pair;
    const timeval timeout{0, 50'000};
    ASSERT_EQ(setsockopt(pair.b.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
    EXPECT_FALSE(readExactly(pair.b.get(), 1).has_value());
}

TEST(SocketIoTest, BadDescriptorFails) {
    EXPECT_FALSE(writeAll(-1, std::vector<uint8_t>{1}));
    EXPECT_FALSE(readExactly(-1, 1).has_value());
}

// SIGPIPE keeps its default action here: if a write raised it, the test process would die.
TEST(SocketIoTest, WriteToClosedSocketPeerFailsWithoutSigpipe) {
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    SocketPair pair;
    pair.b.reset();
    const auto bytes = pattern(1 << 20);
    EXPECT_FALSE(writeAll(pair.a.get(), bytes));
    EXPECT_FALSE(writeAll(pair.a.get(), bytes));
}

TEST(SocketIoTest, WriteToClosedTcpPeerFailsWithoutSigpipe) {
    uint16_t port = 0;
    UniqueFd listener = test::bindLoopback(port);
    ASSERT_TRUE(listener);
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    UniqueFd accepted(::accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(accepted);
    accepted.reset();
    const auto chunk = pattern(64 * 1024);
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i)
        failed = !writeAll(client.get(), chunk);
    EXPECT_TRUE(failed);
}

TEST(SocketIoTest, PipesWorkAndAClosedReaderFailsWithoutSigpipe) {
    Pipe p;
    const std::vector<uint8_t> sent{9, 8, 7};
    ASSERT_TRUE(writeAll(p.writeEnd.get(), sent));
    EXPECT_EQ(readExactly(p.readEnd.get(), 3), sent);

    p.readEnd.reset();
    EXPECT_FALSE(writeAll(p.writeEnd.get(), sent));
    // Nothing left pending to kill the process later, and the mask is as before.
    sigset_t pending, mask;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

TEST(SocketIoTest, UniqueFdClosesOnceAndReleases) {
    Pipe p;
    const int raw = p.readEnd.get();
    {
        UniqueFd moved(std::move(p.readEnd));
        EXPECT_EQ(moved.get(), raw);
        EXPECT_FALSE(p.readEnd);
    }
    EXPECT_EQ(fcntl(raw, F_GETFD), -1);  // closed by the moved-to owner

    const int writeRaw = p.writeEnd.release();
    EXPECT_FALSE(p.writeEnd);
    EXPECT_NE(fcntl(writeRaw, F_GETFD), -1);  // released, so still open
    ::close(writeRaw);
}

}  // namespace
}  // namespace panelora
