#include "input/key_injector.h"

#include "input/event_poster.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora {
namespace {

struct Posted {
    int64_t atMillis;  // since the test's start
    uint16_t keyCode;
    bool isDown;
    uint64_t flags;
    bool isRepeat;
    bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Posted& p) {
    return os << "{" << p.atMillis << "ms code " << p.keyCode << (p.isDown ? " down" : " up")
              << " flags 0x" << std::hex << p.flags << std::dec << (p.isRepeat ? " repeat" : "")
              << "}";
}

class KeyInjectorTest : public ::testing::Test {
  protected:
    KeyInjectorTest() {
        start = clock.uptimeNanos();
        keys = std::make_shared<KeyInjectorCore>(
            [this](uint16_t code, bool down, uint64_t flags, bool repeat) {
                posted.push_back(
                    {(clock.uptimeNanos() - start) / 1'000'000, code, down, flags, repeat});
            },
            clock.makeQueue("panelora.keys"));
    }

    void key(uint16_t usage, bool down, uint8_t modifiers = 0) {
        keys->inject(KeyEvent{usage, down, KeyEvent::Modifiers{modifiers}});
        clock.runUntilIdle();
    }

    ManualClock clock;
    int64_t start = 0;
    std::vector<Posted> posted;
    std::shared_ptr<KeyInjectorCore> keys;
};

// A release of a key not held is posted all the same.
TEST_F(KeyInjectorTest, LetterWithShiftDownThenUp) {
    key(4, true, 0x01);
    key(4, false, 0x00);
    key(4, false, 0x00);
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 0, true, EventFlags::shift, false},
                                           {0, 0, false, 0, false},
                                           {0, 0, false, 0, false}}));
    EXPECT_TRUE(keys->held().empty());
    EXPECT_EQ(keys->repeatTimerCount(), 0u);
}

TEST_F(KeyInjectorTest, ModifierBitsMapToTheirFlags) {
    key(4, true, 0x1F);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].flags, 0x20000u | 0x40000u | 0x80000u | 0x100000u | 0x10000u);
    EXPECT_EQ(keys->currentFlags(), posted[0].flags);
}

TEST_F(KeyInjectorTest, ModifierKeyCarriesItsOwnFlagOnlyWhileDown) {
    key(225, true, 0x00);   // Left Shift, modifier byte not yet updated
    key(225, false, 0x01);  // its release, byte still saying shift
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 56, true, EventFlags::shift, false},
                                           {0, 56, false, 0, false}}));
    clock.advance(1s);
    EXPECT_EQ(posted.size(), 2u);  // modifiers never repeat
}

TEST_F(KeyInjectorTest, CommandActsAsControlFromTheNextKeyOnAndOptionStays) {
    const uint64_t control = EventFlags::control, command = EventFlags::command;
    keys->setCommandActsAsControl(true);
    key(227, true, 0x08);  // Left Command
    key(6, true, 0x0C);    // C with Command and Option
    key(6, false, 0x08);
    keys->setCommandActsAsControl(false);  // while Command is held: it is released as pressed
    key(227, false, 0x00);
    key(231, true, 0x08);  // Right Command, the setting now off
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 59, true, control, false},
                                           {0, 8, true, control | EventFlags::option, false},
                                           {0, 8, false, control, false},
                                           {0, 59, false, 0, false},
                                           {0, 54, true, command, false}}));
}

TEST_F(KeyInjectorTest, HeldKeyRepeatsAtExactlyTheDelayAndInterval) {
    key(4, true);
    clock.advance(450ms);
    key(4, false);
    clock.advance(1s);
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 0, true, 0, false},
                                           {400, 0, true, 0, true},
                                           {435, 0, true, 0, true},
                                           {450, 0, false, 0, false}}));
    EXPECT_EQ(keys->repeatTimerCount(), 0u);
}

TEST_F(KeyInjectorTest, RepeatsUseTheLatestFlags) {
    key(4, true);
    clock.advance(420ms);  // one repeat at 400 ms without shift
    key(225, true);        // shift pressed while 'a' repeats
    clock.advance(30ms);   // next repeat at 435 ms
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 0, true, 0, false},
                                           {400, 0, true, 0, true},
                                           {420, 56, true, EventFlags::shift, false},
                                           {435, 0, true, EventFlags::shift, true}}));
}

TEST_F(KeyInjectorTest, SecondDownRestartsTheSchedule) {
    key(4, true);
    clock.advance(300ms);
    key(4, true);
    clock.advance(440ms);  // to 740 ms
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 0, true, 0, false},
                                           {300, 0, true, 0, false},
                                           {700, 0, true, 0, true},
                                           {735, 0, true, 0, true}}));
    EXPECT_EQ(keys->held(), std::set<uint16_t>{0});
    EXPECT_EQ(keys->repeatTimerCount(), 1u);
}

TEST_F(KeyInjectorTest, TwoHeldKeysRepeatOnTheirOwnSchedules) {
    key(4, true);
    clock.advance(10ms);
    key(5, true);  // b, key code 11
    clock.advance(400ms);
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 0, true, 0, false},
                                           {10, 11, true, 0, false},
                                           {400, 0, true, 0, true},
                                           {410, 11, true, 0, true}}));
}

TEST_F(KeyInjectorTest, CapsLockNeverRepeats) {
    key(57, true);
    clock.advance(2s);
    key(57, false, 0x10);
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 57, true, EventFlags::capsLock, false},
                                           {2000, 57, false, 0, false}}));
}

TEST_F(KeyInjectorTest, UsagesWithoutARowPostNothing) {
    for (uint16_t usage : {50, 70, 71, 72, 101, 102, 104, 232, 0, 65535}) {
        key(usage, true);
        key(usage, false);
    }
    clock.advance(1s);
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST_F(KeyInjectorTest, ReleaseAllLiftsEveryHeldKeyAndStopsRepeats) {
    key(4, true, 0x01);
    key(225, true, 0x01);
    posted.clear();
    keys->releaseAll();
    clock.runUntilIdle();
    EXPECT_EQ(posted, (std::vector<Posted>{{0, 0, false, 0, false}, {0, 56, false, 0, false}}));
    EXPECT_TRUE(keys->held().empty());
    EXPECT_EQ(keys->repeatTimerCount(), 0u);
    EXPECT_EQ(keys->currentFlags(), 0u);
    clock.advance(2s);
    EXPECT_EQ(posted.size(), 2u);
}

TEST_F(KeyInjectorTest, DroppedInstanceStopsRepeating) {
    key(4, true);
    keys.reset();
    clock.advance(1s);
    EXPECT_EQ(posted.size(), 1u);
}

}  // namespace
}  // namespace panelora
