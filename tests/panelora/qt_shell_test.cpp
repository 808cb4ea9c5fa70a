// The program's Qt parts on Qt's offscreen platform (no X server): the tray menu rendered from
// the menu model, and the tray's main queue on the real event loop.

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QShortcut>
#include <QTimer>

#include "app/menu_model.h"
#include "fullest_menu.h"
#include "qt_main_queue.h"
#include "test_prelude.h"
#include "tray_menu.h"

// Fonts and the platform plugin keep caches for the life of the process; in a sanitizer build
// they are not this program's leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6Gui\nleak:libQt6Core\nleak:libqoffscreen\n";
}

namespace panelora {
namespace {

class QtTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (app) return;
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "qt_shell_test";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    static inline QApplication* app = nullptr;
};

class QtMainQueueTest : public QtTest {
  protected:
    std::shared_ptr<QtMainQueue> queue = std::make_shared<QtMainQueue>();

    // Runs the event loop until `done` or 5 s.
    void runUntil(const std::function<bool()>& done) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, app, [&] {
            if (done()) app->quit();
        });
        poll.start(5);
        QTimer::singleShot(5000, app, [] { app->quit(); });
        app->exec();
    }
};

// Threads post their tasks; a flush from another thread returns once they have run. (The posting
// threads are joined before the loop runs: Qt's own queue locks are invisible to ThreadSanitizer.)
// Delayed tasks run in deadline order, none early; a closed queue drops tasks.
TEST_F(QtMainQueueTest, TasksRunOnTheLoopInOrderFlushWaitsAndAClosedQueueDropsThem) {
    constexpr int perThread = 200;
    int next[2] = {0, 0};
    std::atomic<int> ran{0}, ranBeforeFlushReturned{-1};
    std::atomic<bool> offLoopOrOutOfOrder{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                queue->post([&, t, i] {
                    if (!queue->isCurrent() || next[t]++ != i) offLoopOrOutOfOrder = true;
                    ++ran;
                });
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::thread other([&] {
        queue->flush();
        ranBeforeFlushReturned = ran.load();
    });
    runUntil([&] { return ranBeforeFlushReturned >= 0; });
    other.join();
    EXPECT_FALSE(offLoopOrOutOfOrder);
    EXPECT_EQ(ranBeforeFlushReturned, 2 * perThread);

    std::vector<int> order;
    const int64_t posted = queue->clock().uptimeNanos();
    int64_t firstRan = 0;
    queue->postAfter(60ms, [&] { order.push_back(60); });
    queue->postAfter(20ms, [&] {
        firstRan = queue->clock().uptimeNanos();
        order.push_back(20);
    });
    queue->postAfter(0ms, [&] { order.push_back(0); });
    runUntil([&] { return order.size() == 3; });
    EXPECT_EQ(order, (std::vector<int>{0, 20, 60}));
    EXPECT_GE(firstRan - posted, std::chrono::nanoseconds(20ms).count());

    queue->close();
    queue->post([&] { order.push_back(1); });
    queue->postAfter(1ms, [&] { order.push_back(2); });
    queue->flush();  // returns: nothing will run
    int spins = 0;
    runUntil([&] { return ++spins > 10; });
    EXPECT_EQ(order.size(), 3u);
}

class TrayMenuTest : public QtTest {
  protected:
    using Choice = std::pair<MenuItem, std::optional<int64_t>>;

    void fill(const MenuState& state) {
        fillMenu(menu, buildMenu(state), [this](MenuItem item, std::optional<int64_t> value) {
            choices.push_back({item, value});
        });
    }

    QAction* find(const QString& text) {
        for (QAction* action : menu.actions()) {
            if (action->text() == text || action->text().startsWith(text + '\t')) return action;
        }
        return nullptr;
    }

    QMenu menu;
    std::vector<Choice> choices;
};

TEST_F(TrayMenuTest, RowsBecomeActionsThatReportTheirRow) {
    fill(test::fullestMenuState());
    ASSERT_EQ(menu.actions().size(), 20 + 6);        // one action per row and per picker option
    EXPECT_TRUE(menu.actions().at(0)->isEnabled());  // a label widget: reads as text
    QAction* stats = find(QString::fromUtf8("60 fps \u00b7 12 Mbps"));
    ASSERT_TRUE(stats && find("Move Panelora to the Left") && find("Screen space"));
    EXPECT_FALSE(stats->isEnabled());
    EXPECT_TRUE(find("Move Panelora to the Left")->isEnabled());
    EXPECT_FALSE(find("Screen space")->isEnabled());  // the section label

    // Pickers are exclusive groups with the selected tag checked; the toggle shows its state.
    QAction* roomy = find("Roomy: 25% more space");
    QAction* autoOption = find("Auto");
    QAction* smooth = find("Smooth: up to 120 fps");
    QAction* sharp = find("Sharp: native resolution, 60 fps");
    QAction* toggle = find("Launch at Login");
    ASSERT_TRUE(roomy && autoOption && smooth && sharp && toggle && roomy->actionGroup());
    EXPECT_TRUE(roomy->isCheckable() && roomy->isChecked() && smooth->isChecked());
    EXPECT_FALSE(autoOption->isChecked() || sharp->isChecked());
    EXPECT_TRUE(roomy->actionGroup()->isExclusive());
    EXPECT_EQ(roomy->actionGroup(), autoOption->actionGroup());
    EXPECT_NE(roomy->actionGroup(), smooth->actionGroup());
    EXPECT_TRUE(toggle->isCheckable() && toggle->isChecked());
    // Quit shows its shortcut, and the open menu takes it.
    ASSERT_TRUE(find("Quit Panelora\tCtrl+Q"));
    auto shortcuts = menu.findChildren<QShortcut*>();
    ASSERT_EQ(shortcuts.size(), 1);
    EXPECT_EQ(shortcuts[0]->key(), QKeySequence("Ctrl+Q"));

    autoOption->trigger();
    sharp->trigger();
    toggle->trigger();  // unchecks
    find(QString::fromUtf8("Open Accessibility Settings\u2026"))->trigger();
    find(QString::fromUtf8("Check for Updates\u2026"))->trigger();
    emit shortcuts[0]->activated();
    EXPECT_EQ(choices, (std::vector<Choice>{{MenuItem::spacePicker, 0},
                                            {MenuItem::qualityPicker, 0},
                                            {MenuItem::launchAtLogin, 0},
                                            {MenuItem::openAccessibilitySettings, std::nullopt},
                                            {MenuItem::checkForUpdates, std::nullopt},
                                            {MenuItem::quit, std::nullopt}}));
}

// The statistics line changes every second while the menu may be open: the actions stay, so the
// hovered row keeps its highlight; a row that comes or goes rebuilds the menu.
TEST_F(TrayMenuTest, TextAndChecksChangeInPlaceWhileTheMenuIsOpen) {
    MenuRenderer renderer(menu, [](MenuItem, std::optional<int64_t>) {});
    MenuState state = test::fullestMenuState();
    EXPECT_TRUE(renderer.render(buildMenu(state)));
    menu.popup(QPoint(10, 10));
    QAction* hovered = find(QString::fromUtf8(Menu::moveLeftText));
    ASSERT_TRUE(hovered);
    menu.setActiveAction(hovered);
    const QList<QAction*> before = menu.actions();

    state.statsLine = "59 fps \u00b7 13 Mbps";
    state.launchAtLogin = false;
    EXPECT_FALSE(renderer.render(buildMenu(state)));
    EXPECT_EQ(menu.actions(), before);
    EXPECT_TRUE(menu.isVisible());
    EXPECT_EQ(menu.activeAction(), hovered);
    EXPECT_TRUE(find(QString::fromUtf8("59 fps \u00b7 13 Mbps")));
    EXPECT_FALSE(find(QString::fromUtf8(LaunchAtLoginToggle::label))->isChecked());

    state.statsLine.clear();  // the session ended: the row goes
    state.canArrange = false;
    EXPECT_TRUE(renderer.render(buildMenu(state)));
    EXPECT_FALSE(find(QString::fromUtf8(Menu::moveLeftText)));
    menu.close();
}

// Nothing of the earlier menus stays; a stored space that matches no option checks none.
TEST_F(TrayMenuTest, RebuildingReplacesEverything) {
    for (int i = 0; i < 50; ++i)
        fill(test::fullestMenuState());
    MenuState idle;
    idle.space = 110;
    fill(idle);
    EXPECT_EQ(menu.findChildren<QActionGroup*>().size(), 2);
    EXPECT_EQ(menu.findChildren<QShortcut*>().size(), 1);
    EXPECT_EQ(menu.actions().size(), 11 + 6);  // no row of the streaming menus stays
    for (const MenuOption& option : Menu::spaceOptions()) {
        ASSERT_TRUE(find(QString::fromStdString(option.text))) << option.text;
        EXPECT_FALSE(find(QString::fromStdString(option.text))->isChecked()) << option.text;
    }
}

}  // namespace
}  // namespace panelora
