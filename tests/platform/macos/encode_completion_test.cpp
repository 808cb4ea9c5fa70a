// One completion per accepted VideoToolbox frame, whichever end comes first, none for a refused
// one.
#include "platform/macos/portable/encode_completion.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

struct Recorder {
    int calls = 0;
    std::optional<EncodedSample> last;
    VideoCodec::Completion completion() {
        return [this](std::optional<EncodedSample> sample) {
            ++calls;
            last = std::move(sample);
        };
    }
};

EncodedSample sample(uint8_t byte) {
    EncodedSample s;
    s.avcc = {0, 0, 0, 1, byte};
    s.ptsNanos = 42;
    return s;
}

TEST(EncodeCompletion, EitherOrderCompletesOnceWithTheHandlersResult) {
    for (bool handlerFirst : {true, false}) {
        Recorder recorder;
        vt::EncodeCompletion gate(recorder.completion());
        if (handlerFirst) {
            gate.handlerCalled(sample(7));
            EXPECT_EQ(recorder.calls, 0);  // the call has not returned: it may still refuse
            gate.callReturned(true);
        } else {
            gate.callReturned(true);
            EXPECT_EQ(recorder.calls, 0);
            gate.handlerCalled(sample(7));
        }
        ASSERT_EQ(recorder.calls, 1) << handlerFirst;
        ASSERT_TRUE(recorder.last);
        EXPECT_EQ(recorder.last->avcc.back(), 7);
        gate.handlerCalled(sample(8));  // a second handler call is ignored
        gate.callReturned(true);
        EXPECT_EQ(recorder.calls, 1);
    }
}

TEST(EncodeCompletion, FailedFrameCompletesWithNothing) {
    Recorder recorder;
    vt::EncodeCompletion gate(recorder.completion());
    gate.callReturned(true);
    gate.handlerCalled(std::nullopt);
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_FALSE(recorder.last);
}

TEST(EncodeCompletion, RefusedFrameNeverCompletes) {
    for (bool handlerComes : {true, false}) {
        Recorder recorder;
        vt::EncodeCompletion gate(recorder.completion());
        if (handlerComes) gate.handlerCalled(sample(1));
        gate.callReturned(false);
        if (handlerComes) gate.handlerCalled(sample(2));
        EXPECT_EQ(recorder.calls, 0) << handlerComes;
    }
}

TEST(EncodeCompletion, RacingEndsCompleteExactlyOnce) {
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> calls{0};
        auto gate = std::make_shared<vt::EncodeCompletion>(
            [&calls](std::optional<EncodedSample>) { calls.fetch_add(1); });
        std::thread handler([gate] { gate->handlerCalled(sample(3)); });
        gate->callReturned(true);
        handler.join();
        ASSERT_EQ(calls.load(), 1) << round;
    }
}

}  // namespace
}  // namespace panelora::test
