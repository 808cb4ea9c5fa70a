#include "input/key_injector.h"

#include "input/event_poster.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora {
namespace {

// Each step moves the clock on by `afterMs`, then sends a key (usage, down, modifier byte) unless
// its usage is 0.
struct Step {
    int afterMs;
    uint16_t usage;
    bool down;
    uint8_t modifiers = 0;
};

class KeyInjectorTest : public ::testing::Test {
  protected:
    KeyInjectorTest() { restart(); }
    // A new injector; times count from now.
    void restart() {
        start = clock.uptimeNanos();
        posted.clear();
        keys = std::make_shared<KeyInjectorCore>(
            [this](uint16_t code, bool down, uint64_t flags, bool repeat) {
                // "<ms since the start> <key code> down|up [flag names] [repeat]"
                std::string line = std::to_string((clock.uptimeNanos() - start) / 1'000'000) + " " +
                                   std::to_string(code) + (down ? " down" : " up");
                for (auto [flag, name] : {std::pair{EventFlags::shift, " shift"},
                                          {EventFlags::control, " control"},
                                          {EventFlags::option, " option"},
                                          {EventFlags::command, " command"},
                                          {EventFlags::capsLock, " caps"}}) {
                    if (flags & flag) line += name;
                }
                if (flags & ~uint64_t{0x1F0000}) line += " other flags";
                posted.push_back(line + (repeat ? " repeat" : ""));
            },
            clock.makeQueue("panelora.keys"));
    }
    void key(uint16_t usage, bool down, uint8_t modifiers = 0) {
        keys->inject(KeyEvent{usage, down, KeyEvent::Modifiers{modifiers}});
        clock.runUntilIdle();
    }

    ManualClock clock;
    int64_t start = 0;
    std::vector<std::string> posted;
    std::shared_ptr<KeyInjectorCore> keys;
};

using Lines = std::vector<std::string>;

// A release of a key not held is posted all the same; modifier keys carry their own flag only
// while down, whatever the byte says; repeats start 400 ms after the press, then every 35 ms,
// with the flags of the moment, each key on its own schedule; modifiers and Caps Lock never
// repeat.
TEST_F(KeyInjectorTest, PressesReleasesAndRepeats) {
    const struct {
        std::vector<Step> steps;
        Lines expected;
    } cases[] = {
        {{{0, 4, true, 0x01}, {0, 4, false}, {0, 4, false}},
         {"0 0 down shift", "0 0 up", "0 0 up"}},
        {{{0, 4, true, 0x1F}}, {"0 0 down shift control option command caps"}},
        {{{0, 225, true, 0x00}, {0, 225, false, 0x01}, {1000, 0, false}},
         {"0 56 down shift", "0 56 up"}},
        {{{0, 4, true}, {450, 4, false}, {1000, 0, false}},
         {"0 0 down", "400 0 down repeat", "435 0 down repeat", "450 0 up"}},
        {{{0, 4, true}, {420, 225, true}, {30, 0, false}},
         {"0 0 down", "400 0 down repeat", "420 56 down shift", "435 0 down shift repeat"}},
        {{{0, 4, true}, {300, 4, true}, {440, 0, false}},  // a second down restarts the schedule
         {"0 0 down", "300 0 down", "700 0 down repeat", "735 0 down repeat"}},
        {{{0, 4, true}, {10, 5, true}, {400, 0, false}},
         {"0 0 down", "10 11 down", "400 0 down repeat", "410 11 down repeat"}},
        {{{0, 57, true}, {2000, 57, false, 0x10}}, {"0 57 down caps", "2000 57 up"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        restart();
        for (const Step& step : cases[i].steps) {
            clock.advance(std::chrono::milliseconds(step.afterMs));
            if (step.usage) key(step.usage, step.down, step.modifiers);
        }
        EXPECT_EQ(posted, cases[i].expected);
    }
}

TEST_F(KeyInjectorTest, CommandActsAsControlFromTheNextKeyOnAndOptionStays) {
    keys->setCommandActsAsControl(true);
    key(227, true, 0x08);  // Left Command
    key(6, true, 0x0C);    // C with Command and Option
    key(6, false, 0x08);
    keys->setCommandActsAsControl(false);  // while Command is held: it is released as pressed
    key(227, false, 0x00);
    key(231, true, 0x08);  // Right Command, the setting now off
    EXPECT_EQ(posted, (Lines{"0 59 down control", "0 8 down control option", "0 8 up control",
                             "0 59 up", "0 54 down command"}));
}

TEST_F(KeyInjectorTest, UsagesWithoutARowPostNothing) {
    for (uint16_t usage : {50, 70, 71, 72, 101, 102, 104, 232, 0, 65535}) {
        key(usage, true);
        key(usage, false);
    }
    clock.advance(1s);
    EXPECT_TRUE(posted.empty());
}

// Also when the injector is dropped: no repeat comes after.
TEST_F(KeyInjectorTest, ReleaseAllLiftsEveryHeldKeyAndStopsRepeats) {
    key(4, true, 0x01);
    key(225, true, 0x01);
    posted.clear();
    keys->releaseAll();
    clock.runUntilIdle();
    EXPECT_TRUE(keys->held().empty());
    clock.advance(2s);
    key(4, true);  // no repeat came in the two seconds before it
    EXPECT_EQ(posted, (Lines{"0 0 up", "0 56 up", "2000 0 down"}));
    keys.reset();
    clock.advance(2s);
    EXPECT_EQ(posted.size(), 3u);
}

}  // namespace
}  // namespace panelora
