#include "display/display_arrangement.h"

#include "fake_geometry.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Saved = DisplayArrangement::Saved;
using Side = DisplayArrangement::Side;

constexpr DisplayID kMain = 1;
constexpr DisplayID kVirtual = 9;

class DisplayArrangementTest : public ::testing::Test {
  protected:
    DisplayArrangementTest() {
        geometry->mainID = kMain;
        geometry->displays[kMain] = Rect{0, 0, 1440, 900};
        geometry->displays[kVirtual] = Rect{1440, 0, 1366, 1024};
        arrangement = DisplayArrangement::create(kVirtual, geometry, settings, clock);
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

    TempDir folder;
    ManualClock clock;
    std::shared_ptr<SettingsStore> settings =
        std::make_shared<SettingsStore>(folder.path() / "settings.json");
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    std::shared_ptr<DisplayArrangement> arrangement;
};

// What is written is read back by every case below through stored() and storeRecord().
TEST(SavedRecord, AnOffsetThatIsNotANumberIsNotWritten) {
    EXPECT_EQ((Saved{"left", std::nan("")}).encode(), std::nullopt);
}

// Without a record starting changes nothing. Moves are saved only once started, from 2 s after
// the start, and only completed moves of our display; after a move of ours, notifications within
// its settle window are ignored.
TEST_F(DisplayArrangementTest, UserMovesAreSavedOnceSettled) {
    clock.advance(10s);
    userMoves(Rect{-1366, 0, 1366, 1024});
    arrangement->displayReconfigured(kVirtual, DisplayChange::movedFlag);
    arrangement->start();
    EXPECT_TRUE(geometry->configured.empty());
    EXPECT_TRUE(arrangement->registered());
    clock.advance(1s);
    userMoves(Rect{-1366, -120, 1366, 1024});
    EXPECT_EQ(stored(), std::nullopt);  // still settling
    clock.advance(1s);                  // exactly 2 s after start: saving is open
    geometry->displays[kVirtual] = Rect{-1366, 10, 1366, 1024};
    geometry->notify(kVirtual, DisplayChange::movedFlag | DisplayChange::beginConfigurationFlag);
    geometry->notify(kVirtual, 0x4);  // some other change
    geometry->notify(kMain, DisplayChange::movedFlag);
    EXPECT_EQ(stored(), std::nullopt);
    geometry->notify(kVirtual, DisplayChange::movedFlag | 0x4);
    EXPECT_EQ(stored(), (Saved{"left", 10}));

    arrangement->move(Side::right);
    ASSERT_EQ(stored(), (Saved{"right", 10}));
    clock.advance(1s);
    userMoves(Rect{0, 900, 1366, 1024});  // below, 1 s after the move
    EXPECT_EQ(stored(), (Saved{"right", 10}));
    clock.advance(2s);
    userMoves(Rect{40, 900, 1366, 1024});  // 3 s after
    EXPECT_EQ(stored(), (Saved{"below", 40}));
}

// Members beyond the two are allowed; offsets round half away from zero; an unknown side, an
// offset beyond 32 bits or a record that cannot be read places nothing; a display already there
// within half a point is left alone; restoring never rewrites the record.
TEST_F(DisplayArrangementTest, RestorePlacesTheDisplayFromTheRecord) {
    struct Case {
        const char* record;
        std::vector<Point> configured;
        Point from{3000, 3000};
    } const cases[] = {
        {R"({"side": "right", "offset": 200})", {{1440, 200}}},
        {R"({"side": "left", "offset": -120})", {{-1366, -120}}},
        {R"({"side": "above", "offset": -50})", {{-50, -1024}}},
        {R"({"offset": 30, "side": "below", "extra": true})", {{30, 900}}},
        {R"({"side": "right", "offset": 200.5})", {{1440, 201}}},
        {R"({"side": "left", "offset": -0.5})", {{-1366, -1}}},
        {R"({"side": "beside", "offset": 10})", {}},
        {R"({"side": "right", "offset": 1e12})", {}},
        {R"({"side": "left"})", {}},
        {R"({"offset": 3})", {}},
        {R"({"side": 1, "offset": 3})", {}},
        {R"({"side": "left", "offset": "12"})", {}},
        {R"(["left", 3])", {}},
        {R"("left")", {}},
        {R"({"side": "right", "offset": 200})", {}, {1440.5, 199.5}},
        {R"({"side": "right", "offset": 200})", {{1440, 200}}, {1440.6, 200}},
    };
    for (const auto& [record, configured, from] : cases) {
        geometry->displays[kVirtual] = Rect{from.x, from.y, 1366, 1024};
        geometry->configured.clear();
        ASSERT_TRUE(settings->setDisplayArrangement(record));
        const auto before = settings->displayArrangement();
        DisplayArrangement::create(kVirtual, geometry, settings, clock)->start();
        EXPECT_EQ(geometry->configured, configured) << record << " from " << from.x;
        EXPECT_EQ(settings->displayArrangement(), before) << record;
    }
}

// From below the offset is 0; from the other side it is kept; it is clamped to keep 100 points
// of overlap, and when both displays are too small for that the upper limit wins (raised to
// 100 - 80 = 20, then lowered to 50 - 100 = -50).
TEST_F(DisplayArrangementTest, MovesKeepTheOffsetClampedTo100PointsOfOverlap) {
    const std::tuple<double, Rect, Side, Saved> cases[] = {
        {900, {100, 900, 1366, 1024}, Side::left, {"left", 0}},
        {900, {1440, 120, 1366, 1024}, Side::left, {"left", 120}},
        {900, {1440, 950, 1366, 1024}, Side::right, {"right", 800}},
        {900, {-1366, -1000, 1366, 1024}, Side::left, {"left", -924}},
        {50, {1440, 0, 1366, 80}, Side::right, {"right", -50}}};
    for (const auto& [mainHeight, virt, side, expected] : cases) {
        geometry->displays[kMain] = Rect{0, 0, 1440, mainHeight};
        geometry->displays[kVirtual] = virt;
        geometry->configured.clear();
        arrangement->move(side);
        EXPECT_EQ(stored(), expected);
        const Point origin{side == Side::left ? -1366.0 : 1440.0, expected.offset};
        EXPECT_EQ(geometry->configured, std::vector<Point>{origin});
    }
}

// Beside or above and below the main display, overlapping by a point at most; a mirrored
// display is saved as nothing.
TEST_F(DisplayArrangementTest, SaveClassifiesWithOnePointTolerance) {
    const std::pair<Rect, std::optional<Saved>> cases[] = {
        {{-1365, 5, 1366, 1024}, Saved{"left", 5}},
        {{1439, -7, 1366, 1024}, Saved{"right", -7}},
        {{30, -1024, 1366, 1024}, Saved{"above", 30}},
        {{-20, 899, 1366, 1024}, Saved{"below", -20}},
        {{0, 0, 1440, 900}, std::nullopt}};
    arrangement->start();
    clock.advance(3s);
    for (const auto& [virt, expected] : cases) {
        settings->setDisplayArrangement("null");
        userMoves(virt);
        EXPECT_EQ(stored(), expected) << virt.x << "," << virt.y;
    }
}

// A display that is gone is never restored, moved or saved; nor is the main display moved or
// saved.
TEST_F(DisplayArrangementTest, GoneOrMainDisplayIsNeverRestoredMovedOrSaved) {
    storeRecord({"right", 200});
    auto onMain = DisplayArrangement::create(kMain, geometry, settings, clock);
    geometry->displays.erase(kVirtual);
    arrangement->start();
    for (const auto& which : {arrangement, onMain}) {
        which->move(Side::left);
        clock.advance(3s);
        which->save();
    }
    EXPECT_TRUE(geometry->configured.empty());
    EXPECT_EQ(stored(), (Saved{"right", 200}));
}

TEST_F(DisplayArrangementTest, UnregisterRemovesItsCallbackOnce) {
    auto other = DisplayArrangement::create(kVirtual, geometry, settings, clock);
    arrangement->start();
    other->start();
    EXPECT_EQ(geometry->callbacks.size(), 2u);
    arrangement->unregister();
    arrangement->unregister();
    EXPECT_FALSE(arrangement->registered());
    EXPECT_EQ(geometry->callbacks.size(), 1u);
    other.reset();  // dropping a registered arrangement removes its callback too
    EXPECT_TRUE(geometry->callbacks.empty());
}

}  // namespace
}  // namespace panelora::test
