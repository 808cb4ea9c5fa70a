#include "display/display_arrangement.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "support/manual_clock.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Saved = DisplayArrangement::Saved;
using Side = DisplayArrangement::Side;

constexpr DisplayID kMain = 1;
constexpr DisplayID kVirtual = 9;

class FakeGeometry : public DisplayGeometry {
  public:
    Rect bounds(DisplayID display) const override {
        auto it = displays.find(display);
        return it == displays.end() ? Rect{} : it->second;
    }
    DisplayID mainDisplayID() const override { return kMain; }
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override {
        configured.push_back({double(x), double(y)});
        displays[display].x = x;
        displays[display].y = y;
        return true;
    }
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override {
        callbacks[++nextToken] = std::move(callback);
        return nextToken;
    }
    void removeReconfigurationCallback(CallbackToken token) override { callbacks.erase(token); }

    void notify(DisplayID display, uint32_t flags) {
        auto copy = callbacks;
        for (auto& [token, callback] : copy)
            callback(display, flags);
    }

    std::map<DisplayID, Rect> displays;
    std::vector<Point> configured;
    std::map<CallbackToken, ReconfigurationCallback> callbacks;
    CallbackToken nextToken = 0;
};

class DisplayArrangementTest : public ::testing::Test {
  protected:
    DisplayArrangementTest() {
        char pattern[] = "/tmp/panelora-arrangement-XXXXXX";
        folder = ::mkdtemp(pattern);
        settings = std::make_shared<SettingsStore>(folder / "settings.json");
        geometry->displays[kMain] = Rect{0, 0, 1440, 900};
        geometry->displays[kVirtual] = Rect{1440, 0, 1366, 1024};
        arrangement = DisplayArrangement::create(kVirtual, geometry, settings, clock);
    }
    ~DisplayArrangementTest() override {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    std::optional<Saved> stored() const {
        auto json = settings->displayArrangement();
        return json ? Saved::decode(*json) : std::nullopt;
    }
    void storeRecord(const Saved& saved) { settings->setDisplayArrangement(*saved.encode()); }
    void userMoves(Rect to) {
        geometry->displays[kVirtual] = to;
        geometry->notify(kVirtual, DisplayChange::movedFlag);
    }

    fs::path folder;
    ManualClock clock;
    std::shared_ptr<SettingsStore> settings;
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    std::shared_ptr<DisplayArrangement> arrangement;
};

TEST(SavedRecord, JsonRoundTripAndRequiredMembers) {
    Saved left{"left", -120};
    auto json = left.encode();
    ASSERT_TRUE(json);
    EXPECT_EQ(Saved::decode(*json), left);
    EXPECT_EQ(Saved::decode(R"({"offset": 12, "side": "below", "extra": true})"),
              (Saved{"below", 12}));
    EXPECT_EQ(Saved::decode(R"({"side": "left"})"), std::nullopt);
    EXPECT_EQ(Saved::decode(R"({"offset": 3})"), std::nullopt);
    EXPECT_EQ(Saved::decode(R"({"side": 1, "offset": 3})"), std::nullopt);
    EXPECT_EQ(Saved::decode(R"({"side": "left", "offset": "3"})"), std::nullopt);
    EXPECT_EQ(Saved::decode(R"(["left", 3])"), std::nullopt);
    EXPECT_EQ(Saved::decode("{not json"), std::nullopt);
    EXPECT_EQ((Saved{"left", std::nan("")}).encode(), std::nullopt);
}

TEST_F(DisplayArrangementTest, NoRecordChangesNothingThenAUserMoveIsSavedAfterSettling) {
    arrangement->start();
    EXPECT_TRUE(geometry->configured.empty());
    EXPECT_TRUE(arrangement->registered());
    clock.advance(1s);
    userMoves(Rect{-1366, -120, 1366, 1024});
    EXPECT_EQ(stored(), std::nullopt);  // still settling
    clock.advance(1s);                  // exactly 2 s after start: saving is open
    userMoves(Rect{-1366, -120, 1366, 1024});
    EXPECT_EQ(stored(), (Saved{"left", -120}));
}

TEST_F(DisplayArrangementTest, RestorePlacesTheDisplayFromTheRecord) {
    struct Case {
        const char* name;
        const char* side;
        double offset;
        std::vector<Point> configured;
    };
    const Case cases[] = {
        {"right 200", "right", 200, {{1440, 200}}},
        {"left -120", "left", -120, {{-1366, -120}}},
        {"above -50", "above", -50, {{-50, -1024}}},
        {"below 30", "below", 30, {{30, 900}}},
        {"unknown side", "beside", 10, {}},
        {"halves away from zero", "right", 200.5, {{1440, 201}}},
        {"negative half", "left", -0.5, {{-1366, -1}}},
        {"offset beyond 32 bits", "right", 1e12, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        geometry->displays[kVirtual] = Rect{3000, 3000, 1366, 1024};
        geometry->configured.clear();
        const Saved record{c.side, c.offset};
        storeRecord(record);
        auto session = DisplayArrangement::create(kVirtual, geometry, settings, clock);
        session->start();
        EXPECT_EQ(geometry->configured, c.configured);
        EXPECT_EQ(stored(), record);  // restoring never rewrites the record
    }
}

TEST_F(DisplayArrangementTest, AlreadyThereWithinHalfAPointConfiguresNothing) {
    storeRecord({"right", 200});
    geometry->displays[kVirtual] = Rect{1440.5, 199.5, 1366, 1024};
    arrangement->start();
    EXPECT_TRUE(geometry->configured.empty());
    geometry->displays[kVirtual] = Rect{1440.6, 200, 1366, 1024};
    arrangement->restore();
    EXPECT_EQ(geometry->configured, (std::vector<Point>{{1440, 200}}));
}

TEST_F(DisplayArrangementTest, UnreadableRecordIsLeftUntouched) {
    for (const char* bad :
         {R"({"side": "left"})", R"({"side": "left", "offset": "12"})", R"("left")", "[]"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(settings->setDisplayArrangement(bad));
        auto before = settings->displayArrangement();
        auto session = DisplayArrangement::create(kVirtual, geometry, settings, clock);
        session->start();
        EXPECT_TRUE(geometry->configured.empty());
        EXPECT_EQ(settings->displayArrangement(), before);
    }
}

TEST_F(DisplayArrangementTest, GoneDisplayIsNotRestoredOrSaved) {
    storeRecord({"right", 200});
    geometry->displays.erase(kVirtual);
    arrangement->start();
    arrangement->move(Side::left);
    clock.advance(3s);
    arrangement->save();
    EXPECT_TRUE(geometry->configured.empty());
    EXPECT_EQ(stored(), (Saved{"right", 200}));
}

TEST_F(DisplayArrangementTest, MoveLeftFromBelowUsesOffsetZero) {
    geometry->displays[kVirtual] = Rect{100, 900, 1366, 1024};
    arrangement->start();
    arrangement->move(Side::left);
    EXPECT_EQ(geometry->configured, (std::vector<Point>{{-1366, 0}}));
    EXPECT_EQ(stored(), (Saved{"left", 0}));
}

TEST_F(DisplayArrangementTest, MoveClampsTheOffsetToKeep100PointsOfOverlap) {
    struct Case {
        const char* name;
        double mainHeight;
        Rect virt;
        Side side;
        Saved expected;
        Point origin;
    };
    const Case cases[] = {
        {"right, 950 below: lowered to 800",
         900,
         {1440, 950, 1366, 1024},
         Side::right,
         {"right", 800},
         {1440, 800}},
        {"left, 1000 above: raised to -924",
         900,
         {-1366, -1000, 1366, 1024},
         Side::left,
         {"left", -924},
         {-1366, -924}},
        {"right to left keeps the offset",
         900,
         {1440, 120, 1366, 1024},
         Side::left,
         {"left", 120},
         {-1366, 120}},
        // Both displays tiny: raised to 100 - 80 = 20, then lowered to 50 - 100 = -50.
        {"limits cross: the upper one wins",
         50,
         {1440, 0, 1366, 80},
         Side::right,
         {"right", -50},
         {1440, -50}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        geometry->displays[kMain] = Rect{0, 0, 1440, c.mainHeight};
        geometry->displays[kVirtual] = c.virt;
        geometry->configured.clear();
        arrangement->move(c.side);
        EXPECT_EQ(stored(), c.expected);
        EXPECT_EQ(geometry->configured, std::vector<Point>{c.origin});
    }
}

TEST_F(DisplayArrangementTest, NotificationsDuringTheSettleWindowAfterAMoveAreIgnored) {
    arrangement->start();
    clock.advance(5s);
    arrangement->move(Side::right);
    ASSERT_EQ(stored(), (Saved{"right", 0}));
    clock.advance(1s);
    userMoves(Rect{0, 900, 1366, 1024});  // below, 1 s after the move
    EXPECT_EQ(stored(), (Saved{"right", 0}));
    clock.advance(2s);
    userMoves(Rect{40, 900, 1366, 1024});  // 3 s after
    EXPECT_EQ(stored(), (Saved{"below", 40}));
}

TEST_F(DisplayArrangementTest, OnlyCompletedMovesOfOurDisplayAreSaved) {
    arrangement->start();
    clock.advance(3s);
    geometry->displays[kVirtual] = Rect{-1366, 10, 1366, 1024};
    geometry->notify(kVirtual, DisplayChange::movedFlag | DisplayChange::beginConfigurationFlag);
    geometry->notify(kVirtual, 0x4);  // some other change
    geometry->notify(kMain, DisplayChange::movedFlag);
    EXPECT_EQ(stored(), std::nullopt);
    geometry->notify(kVirtual, DisplayChange::movedFlag | 0x4);
    EXPECT_EQ(stored(), (Saved{"left", 10}));
}

TEST_F(DisplayArrangementTest, SaveClassifiesWithOnePointTolerance) {
    struct Case {
        const char* name;
        Rect virt;
        std::optional<Saved> expected;
    };
    const Case cases[] = {
        {"left, overlapping by 1", {-1365, 5, 1366, 1024}, Saved{"left", 5}},
        {"right, overlapping by 1", {1439, -7, 1366, 1024}, Saved{"right", -7}},
        {"above", {30, -1024, 1366, 1024}, Saved{"above", 30}},
        {"below, overlapping by 1", {-20, 899, 1366, 1024}, Saved{"below", -20}},
        {"overlapping (mirrored)", {0, 0, 1440, 900}, std::nullopt},
    };
    arrangement->start();
    clock.advance(3s);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings->setDisplayArrangement("null");
        userMoves(c.virt);
        EXPECT_EQ(stored(), c.expected);
    }
}

TEST_F(DisplayArrangementTest, MainDisplayItselfIsNeverSavedOrMoved) {
    auto onMain = DisplayArrangement::create(kMain, geometry, settings, clock);
    onMain->move(Side::left);
    onMain->save();
    EXPECT_TRUE(geometry->configured.empty());
    EXPECT_EQ(settings->displayArrangement(), std::nullopt);
}

TEST_F(DisplayArrangementTest, UnregisterRemovesTheCallbackOnce) {
    arrangement->start();
    EXPECT_EQ(geometry->callbacks.size(), 1u);
    arrangement->unregister();
    arrangement->unregister();
    EXPECT_FALSE(arrangement->registered());
    EXPECT_TRUE(geometry->callbacks.empty());
    // Dropping a registered arrangement removes its callback too.
    auto other = DisplayArrangement::create(kVirtual, geometry, settings, clock);
    other->start();
    EXPECT_EQ(geometry->callbacks.size(), 1u);
    other.reset();
    EXPECT_TRUE(geometry->callbacks.empty());
}

TEST_F(DisplayArrangementTest, NothingIsSavedBeforeStart) {
    clock.advance(10s);
    userMoves(Rect{-1366, 0, 1366, 1024});
    arrangement->displayReconfigured(kVirtual, DisplayChange::movedFlag);
    EXPECT_EQ(stored(), std::nullopt);
}

}  // namespace
}  // namespace panelora
