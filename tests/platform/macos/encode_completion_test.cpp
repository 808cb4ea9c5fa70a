// One completion per accepted VideoToolbox frame, whichever end comes first, none for a refused
// one.
#include "platform/macos/portable/encode_completion.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

EncodedSample sample(uint8_t byte) {
    EncodedSample s;
    s.avcc = {0, 0, 0, 1, byte};
    return s;
}

// The handler's result (a frame or a failure) and the call's return (accepted or refused) in
// either order: what completes.
TEST(EncodeCompletion, AnAcceptedFrameCompletesOnceWithTheHandlersResultARefusedOneNever) {
    struct Case {
        bool handlerFirst, accepted;
        std::optional<EncodedSample> result;
    };
    for (const Case& c : {Case{true, true, sample(7)}, Case{false, true, sample(7)},
                          Case{false, true, std::nullopt}, Case{true, false, sample(7)},
                          Case{false, false, sample(7)}}) {
        SCOPED_TRACE(std::to_string(c.handlerFirst) + std::to_string(c.accepted));
        std::vector<std::optional<EncodedSample>> completed;
        vt::EncodeCompletion gate([&](std::optional<EncodedSample> s) { completed.push_back(s); });
        if (c.handlerFirst)
            gate.handlerCalled(c.result);
        else
            gate.callReturned(c.accepted);
        EXPECT_TRUE(completed.empty());  // one end alone completes nothing
        if (c.handlerFirst)
            gate.callReturned(c.accepted);
        else
            gate.handlerCalled(c.result);
        gate.handlerCalled(sample(8));  // a second handler call is ignored
        ASSERT_EQ(completed.size(), c.accepted ? 1u : 0u);
        if (!c.accepted) continue;
        EXPECT_EQ(completed[0].has_value(), c.result.has_value());
        EXPECT_EQ(completed[0].value_or(EncodedSample{}).avcc,
                  c.result.value_or(EncodedSample{}).avcc);
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
