// What sway does its own way: the scale that makes an output the profile's point size, what
// get_outputs may hold, one output of ours reused from session to session (also a crash's
// leftover), parked out of the layout in between, and idling held off while a session streams.
// The rest (also the pointer sway draws into every frame) is the conformance suite's.
#include "test_prelude.h"

#include <fstream>

#include "platform/linux/sway/sway_platform.h"
#include "sway_session.h"
#include "video/virtual_display.h"

namespace panelora::test {
namespace {

TEST(SwayScale, GivesThePointSizeAsSwayTruncatesIt) {
    struct Case {
        int pixelWidth, pixelHeight, pointWidth, pointHeight;
    };
    for (const Case& c : {Case{2732, 2048, 1708, 1280},
                          {2048, 1536, 1024, 768},
                          {1796, 1346, 1708, 1280},
                          {640, 480, 320, 240},
                          {2388, 1668, 1194, 834},
                          {2732, 2048, 1366, 1024}}) {
        SCOPED_TRACE(std::to_string(c.pixelWidth) + " for " + std::to_string(c.pointWidth));
        const float scale = swayScaleFor(c.pixelWidth, c.pixelHeight, c.pointWidth, c.pointHeight);
        int w = c.pixelWidth, h = c.pixelHeight;  // as wlroots: int /= float
        w = static_cast<int>(static_cast<float>(w) / scale);
        h = static_cast<int>(static_cast<float>(h) / scale);
        EXPECT_EQ(w, c.pointWidth);
        EXPECT_EQ(h, c.pointHeight);
    }
    EXPECT_FLOAT_EQ(swayScaleFor(2048, 1536, 1024, 768), 2.0f);
}

TEST(SwayOutputs, AreReadFromGetOutputsAndWhatIsNotAnOutputIsLeftOut) {
    const auto reply = nlohmann::json::parse(R"([
        {"name": "HEADLESS-1", "active": true, "scale": 1.5,
         "rect": {"x": 0, "y": 0, "width": 960, "height": 600},
         "current_mode": {"width": 1440, "height": 900}},
        {"name": "HEADLESS-2", "active": false},
        {"active": true}, {"name": 7}, "text", null
    ])");
    const auto outputs = parseOutputs(reply);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], (SwayOutput{"HEADLESS-1", true, {0, 0, 960, 600}, 1.5, 1440, 900}));
    EXPECT_EQ(outputs[1], (SwayOutput{"HEADLESS-2", false, {}, 1, 0, 0}));
    EXPECT_TRUE(parseOutputs(nlohmann::json::object()).empty());
}

class SwayBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        sway_ = SwaySession::shared();
        if (!sway_) GTEST_SKIP() << SwaySession::sharedSkipReason();
        platform_ = makePlatform();
        ASSERT_TRUE(platform_);
    }
    std::unique_ptr<SwayPlatform> makePlatform() {
        std::string why;
        auto platform = SwayPlatform::create({.ipcSocket = sway_->ipcSocket(),
                                              .waylandDisplay = sway_->waylandSocket(),
                                              .ownedFile = sway_->ownedFile()},
                                             &why);
        EXPECT_TRUE(platform) << why;
        return platform;
    }
    // Our outputs as sway lists them, by name.
    std::map<std::string, SwayOutput> ours() {
        platform_->layout()->refresh();
        std::map<std::string, SwayOutput> found;
        const auto owned = platform_->layout()->ownedOutputs();
        for (const auto& output : platform_->layout()->outputs()) {
            if (owned.contains(output.name)) found[output.name] = output;
        }
        return found;
    }

    SwaySession* sway_ = nullptr;
    std::unique_ptr<SwayPlatform> platform_;
};

// A platform that ended without parking (a crash) left its output beside the main one: the next
// start parks it, and session after session takes a parked output, the same one, and parks it
// again.
TEST_F(SwayBackend, OutputsAreParkedBetweenSessionsAndReusedAlsoACrashsLeftover) {
    platform_.reset();
    auto ipc = SwayIpc::connect(sway_->ipcSocket(), nullptr);
    ASSERT_TRUE(ipc);
    auto before = parseOutputs(*ipc->request(SwayIpc::getOutputs));
    ASSERT_TRUE(ipc->command("create_output"));
    std::string leftover;
    for (const auto& output : parseOutputs(*ipc->request(SwayIpc::getOutputs))) {
        if (std::ranges::none_of(before, [&](const auto& o) { return o.name == output.name; }))
            leftover = output.name;
    }
    ASSERT_FALSE(leftover.empty());
    std::ofstream(sway_->ownedFile(), std::ios::app) << leftover << "\n";

    platform_ = makePlatform();
    ASSERT_TRUE(platform_);
    const auto owned = ours();
    ASSERT_TRUE(owned.contains(leftover));
    auto expectParked = [&] {
        for (const auto& [name, output] : ours())
            EXPECT_GE(output.rect.x, SwayLayout::kParkX) << name << " left in the layout";
    };
    expectParked();
    std::set<std::string> names;
    for (int session = 0; session < 3; ++session) {
        auto display =
            VirtualDisplay::create(*platform_->seams().virtualDisplays, StreamProfile::fallback, 1);
        ASSERT_TRUE(display);
        names.insert(platform_->layout()->outputName(display->displayID()));
        display.reset();
        expectParked();
    }
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(owned.contains(*names.begin())) << "a new output, not a parked one";
    EXPECT_EQ(ours().size(), owned.size());
}

// swayidle's timeout does not run out while a session holds the platform's activity, and does
// once it is let go.
TEST_F(SwayBackend, AStreamingSessionKeepsSwayFromIdling) {
    const auto activity = platform_->seams().activity;
    ASSERT_TRUE(activity);
    TempDir temp;
    const std::string idled = temp.file("idled");
    auto token = activity->begin("streaming");
    auto swayidle = ChildProcess::start(
        {"swayidle", "-w", "timeout", "1", "touch " + idled},
        ChildProcess::Options().set("WAYLAND_DISPLAY=" + sway_->waylandSocket()));
    if (!swayidle) GTEST_SKIP() << "no swayidle (scripts/install-deps.sh installs it)";
    std::this_thread::sleep_for(2500ms);
    EXPECT_FALSE(std::filesystem::exists(idled));
    token.reset();
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(idled); }, 5s));
}

}  // namespace
}  // namespace panelora::test
