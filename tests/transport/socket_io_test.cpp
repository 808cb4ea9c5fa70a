#include "transport/socket_io.h"

#include <fcntl.h>
#include <signal.h>

#include "test_prelude.h"

namespace panelora::test {
namespace {

// Larger than the socket buffers, so both sides loop over partial transfers; reads go into the
// caller's buffer or a new one; empty requests touch nothing.
TEST(SocketIoTest, LargeTransferArrivesWhole) {
    SocketPair pair;
    const auto sent = pattern(8 << 20);
    std::thread writer([&] { EXPECT_TRUE(writeAll(pair.peer, sent)); });
    std::vector<uint8_t> first(2);
    ASSERT_TRUE(readExactly(pair.fd, std::span<uint8_t>(first)));
    const auto rest = readExactly(pair.fd, sent.size() - 2);
    writer.join();
    EXPECT_EQ(first, std::vector<uint8_t>(sent.begin(), sent.begin() + 2));
    EXPECT_EQ(rest, std::vector<uint8_t>(sent.begin() + 2, sent.end()));
    EXPECT_TRUE(writeAll(-1, {}));
    EXPECT_EQ(readExactly(-1, 0), std::vector<uint8_t>{});
}

TEST(SocketIoTest, FailuresOfReading) {
    // The end of the stream before the count; storage follows the bytes that arrive, so a
    // lying count costs nothing up front.
    for (size_t count : {size_t{4}, size_t{1} << 40}) {
        SocketPair pair;
        ASSERT_TRUE(writeAll(pair.peer, pattern(3)));
        pair.closePeer();
        EXPECT_FALSE(readExactly(pair.fd, count)) << count;
    }
    SocketPair pair;
    const timeval timeout{0, 50'000};
    ASSERT_EQ(setsockopt(pair.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
    EXPECT_FALSE(readExactly(pair.fd, 1));  // a receive timeout
    EXPECT_FALSE(writeAll(-1, std::vector<uint8_t>{1}));
    EXPECT_FALSE(readExactly(-1, 1));
}

// SIGPIPE keeps its default action here: if a write raised it, the test process would die.
TEST(SocketIoTest, WritesToAGonePeerFailWithoutSigpipe) {
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    {
        SocketPair pair;
        pair.closePeer();
        EXPECT_FALSE(writeAll(pair.fd, pattern(1 << 20)));
        EXPECT_FALSE(writeAll(pair.fd, pattern(1 << 20)));
    }
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    ASSERT_TRUE(writeAll(writeEnd.get(), pattern(3)));
    EXPECT_EQ(readExactly(readEnd.get(), 3), pattern(3));
    readEnd.reset();
    EXPECT_FALSE(writeAll(writeEnd.get(), pattern(3)));
    // Nothing left pending to kill the process later, and the mask is as before.
    sigset_t pending, mask;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

}  // namespace
}  // namespace panelora::test
