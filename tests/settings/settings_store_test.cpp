#include "support/settings_store.h"

#include <nlohmann/json.hpp>

#include "test_prelude.h"

namespace panelora::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    TempDir folder;
    fs::path path = folder.path() / "panelora" / "settings.json";
};

// A missing file means defaults and is not created by reading.
TEST_F(SettingsStoreTest, WritesAreAtomicValidJsonAndSurviveARestart) {
    {
        SettingsStore store(path);  // the folder does not exist yet
        EXPECT_FALSE(store.space() || store.preferSmooth() || store.displayArrangement());
        EXPECT_FALSE(fs::exists(path));
        EXPECT_TRUE(store.setSpace(125));
        EXPECT_TRUE(store.setPreferSmooth(true));
        EXPECT_TRUE(store.setDisplayArrangement(R"({"side":"left","offset":-120.0})"));
    }
    // Only the file itself is left: no temporary file behind.
    EXPECT_EQ(entries(path.parent_path()), std::vector<std::string>{"settings.json"});
    // The record is a JSON object in the file, not a string holding JSON; only we may read it.
    EXPECT_EQ(nlohmann::json::parse(readFile(path)),
              nlohmann::json::parse(R"({"space": 125, "preferSmooth": true,
                                        "displayArrangement": {"side": "left", "offset": -120}})"));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0600));

    SettingsStore again(path);
    EXPECT_EQ(again.space(), 125);
    EXPECT_EQ(again.preferSmooth(), true);
    EXPECT_EQ(again.displayArrangement(), R"({"offset":-120.0,"side":"left"})");
}

// Each bad file gets its own name, also in the same second, and is kept byte for byte; saving
// afterwards makes a fresh file and leaves the bad ones alone. Last, a directory in place of the
// file (unreadable as settings even to root, whom permission bits would not stop) is moved aside
// with what it holds.
TEST_F(SettingsStoreTest, CorruptFilesAreMovedAsideAndDefaultsUsed) {
    fs::create_directories(path.parent_path());
    const std::vector<std::string> bad = {"{\"space\": 100,", "[1, 2]", "42", "", "\xff\xfe"};
    for (size_t i = 0; i <= bad.size(); ++i) {
        if (i < bad.size()) {
            writeFile(path, bad[i]);
        } else {
            fs::remove(path);
            fs::create_directories(path / "inner");
            writeFile(path / "inner" / "keep.txt", "keep");
        }
        SCOPED_TRACE(i);
        SettingsStore store(path);
        EXPECT_EQ(store.space(), std::nullopt);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_TRUE(store.setPreferSmooth(true));
        EXPECT_EQ(SettingsStore(path).preferSmooth(), true);
        EXPECT_EQ(entries(path.parent_path()).size(), i + 2);
    }
    std::multiset<std::string> kept;
    for (const auto& name : entries(path.parent_path())) {
        const fs::path moved = path.parent_path() / name;
        if (name != "settings.json") {
            EXPECT_EQ(name.rfind("settings.json.corrupt-", 0), 0u) << name;
            kept.insert(readFile(fs::is_directory(moved) ? moved / "inner" / "keep.txt" : moved));
        }
    }
    std::multiset<std::string> expected(bad.begin(), bad.end());
    expected.insert("keep");
    EXPECT_EQ(kept, expected);
}

TEST_F(SettingsStoreTest, BadFileThatCannotBeMovedAsideIsNeverOverwritten) {
    fs::create_directories(path.parent_path());
    writeFile(path, "{broken");
    // Every name the bad file could be moved to is taken (for this second and the next few),
    // which works as root too, where permission bits would not stop the rename.
    auto now = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    for (auto second = now; second <= now + 3; ++second) {
        const std::string base = "settings.json.corrupt-" + std::to_string(second);
        for (int n = 0; n < 100; ++n)
            writeFile(path.parent_path() / (n ? base + "-" + std::to_string(n) : base), "taken");
    }
    SettingsStore store(path);
    EXPECT_EQ(store.space(), std::nullopt);
    EXPECT_FALSE(store.setSpace(100));
    EXPECT_EQ(store.space(), 100);      // kept in memory for this run
    EXPECT_FALSE(store.setSpace(125));  // still never written over the bad file
    EXPECT_EQ(readFile(path), "{broken");
}

// An arrangement text that is not JSON changes nothing.
TEST_F(SettingsStoreTest, WrongTypesReadAsAbsentAndUnknownMembersAreKept) {
    fs::create_directories(path.parent_path());
    writeFile(path, R"({"space": "125", "preferSmooth": 1, "future": [1, 2]})");
    SettingsStore store(path);
    EXPECT_EQ(store.space(), std::nullopt);
    EXPECT_EQ(store.preferSmooth(), std::nullopt);
    ASSERT_TRUE(store.setSpace(100));
    EXPECT_FALSE(store.setDisplayArrangement("{side: right"));
    auto json = nlohmann::json::parse(readFile(path));
    EXPECT_EQ(json["space"], 100);
    EXPECT_EQ(json["future"], nlohmann::json::parse("[1, 2]"));
    EXPECT_FALSE(json.contains("displayArrangement"));
}

TEST_F(SettingsStoreTest, ConcurrentSettersLeaveTheLastValuesOnDisk) {
    SettingsStore store(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 25; ++i) {
                if (t % 2)
                    store.setSpace(t * 100 + i);
                else
                    store.setPreferSmooth(i % 2 == 0);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    SettingsStore reread(path);
    EXPECT_EQ(reread.space(), store.space());
    EXPECT_EQ(reread.preferSmooth(), store.preferSmooth());
    EXPECT_EQ(entries(path.parent_path()), std::vector<std::string>{"settings.json"});
}

// A settings file that a dotfiles manager keeps elsewhere is a symbolic link, or a chain of them:
// saving writes the file at the end of the chain (creating it when the chain dangles) and leaves
// every link a link. Links given relative resolve against their own folder.
TEST_F(SettingsStoreTest, SavingThroughSymbolicLinksWritesTheTargetAndKeepsTheLinks) {
    const fs::path dotfiles = folder.path() / "dotfiles";
    const fs::path target = dotfiles / "panelora" / "settings.json";
    const std::string kept = R"({"space": 100, "kept": true})";
    // The links (the first at `path`, each pointing at the next) and what the target holds.
    const std::pair<std::vector<fs::path>, std::optional<std::string>> cases[] = {
        {{"../dotfiles/panelora/settings.json"}, kept},
        {{folder.path() / "middle.json", "dotfiles/panelora/settings.json"}, kept},
        {{target}, std::nullopt},
        {{target}, "{broken"},
    };
    for (const auto& [links, content] : cases) {
        SCOPED_TRACE(links.front());
        fs::remove_all(path.parent_path());
        fs::remove_all(dotfiles);
        fs::remove(folder.path() / "middle.json");
        fs::create_directories(path.parent_path());
        if (content) {
            fs::create_directories(target.parent_path());
            writeFile(target, *content);
        }
        std::vector<fs::path> at = {path};
        at.insert(at.end(), links.begin(), links.end() - 1);
        for (size_t i = 0; i < links.size(); ++i)
            fs::create_symlink(links[i], at[i]);

        EXPECT_TRUE(SettingsStore(path).setSpace(150));
        for (const fs::path& link : at)
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link))) << link;
        ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
        const auto expected = content == kept ? nlohmann::json({{"space", 150}, {"kept", true}})
                                              : nlohmann::json({{"space", 150}});
        EXPECT_EQ(nlohmann::json::parse(readFile(target), nullptr, false), expected);
        // Written atomically beside the target: no temporary file left there or by the link. A
        // corrupt target was moved aside beside itself.
        auto names = entries(target.parent_path());
        EXPECT_EQ(names.front(), "settings.json");
        EXPECT_EQ(names.size(), content == "{broken" ? 2u : 1u);
        if (names.size() == 2) {
            EXPECT_EQ(readFile(target.parent_path() / names[1]), "{broken");
        }
        EXPECT_EQ(entries(path.parent_path()), std::vector<std::string>{"settings.json"});
        EXPECT_EQ(SettingsStore(path).space(), 150);
    }
}

TEST(DefaultSettingsPath, FollowsXdgThenHome) {
    ScopedEnvironment environment;
    environment.set("XDG_CONFIG_HOME", "/x/config");
    environment.set("HOME", "/home/u");
    EXPECT_EQ(defaultSettingsPath(), fs::path("/x/config/panelora/settings.json"));
    environment.set("XDG_CONFIG_HOME", "relative");  // not absolute: ignored
    EXPECT_EQ(defaultSettingsPath(), fs::path("/home/u/.config/panelora/settings.json"));
    environment.set("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(defaultSettingsPath(), fs::path("/home/u/.config/panelora/settings.json"));
}

// Keeps the document in memory, as the user defaults do on macOS; records what the store saves.
struct MemoryBacking final : SettingsStore::Backing {
    explicit MemoryBacking(std::optional<std::string> stored = {}) : stored(std::move(stored)) {}
    std::optional<std::string> load() override { return stored; }
    bool save(const std::string& document) override {
        saves.push_back(document);
        if (!failSaves) stored = document;
        return !failSaves;
    }

    std::optional<std::string> stored;
    std::vector<std::string> saves;
    bool failSaves = false;
};

// What the backing holds is read; nothing stored or not an object means defaults. A refused save
// keeps the value in memory, and the next save carries it too, with the members already there.
TEST(SettingsStoreBacking, ReadsTheBackingAndRefusedSavesKeepTheValue) {
    const std::pair<std::optional<std::string>, nlohmann::json> cases[] = {
        {std::nullopt, nlohmann::json::object()},
        {"[1, 2]", nlohmann::json::object()},
        {"{\"space\": ", nlohmann::json::object()},
        {"", nlohmann::json::object()},
        {R"({"space": 125, "x": 1})", {{"space", 125}, {"x", 1}}},
    };
    for (const auto& [stored, document] : cases) {
        SCOPED_TRACE(stored.value_or("(nothing)"));
        auto backing = std::make_shared<MemoryBacking>(stored);
        backing->failSaves = true;
        SettingsStore store(backing);
        EXPECT_EQ(store.space(), document.contains("space")
                                     ? std::optional(document.at("space").get<int64_t>())
                                     : std::nullopt);
        EXPECT_TRUE(backing->saves.empty());  // reading writes nothing
        EXPECT_FALSE(store.setSpace(150));
        EXPECT_EQ(store.space(), 150);
        backing->failSaves = false;
        EXPECT_TRUE(store.setPreferSmooth(false));
        auto expected = document;
        expected.update({{"space", 150}, {"preferSmooth", false}});
        EXPECT_EQ(nlohmann::json::parse(*backing->stored), expected);
    }
}

// The only test of this program that touches the process's standard store.
TEST(SettingsStoreBacking, StandardStoreUsesTheBackingGivenBeforeFirstUse) {
    auto backing = std::make_shared<MemoryBacking>(R"({"space": 150})");
    EXPECT_TRUE(SettingsStore::setStandardBacking(backing));
    const auto standard = SettingsStore::standard();
    EXPECT_EQ(standard->space(), 150);
    EXPECT_TRUE(standard->path().empty());
    EXPECT_EQ(SettingsStore::standard(), standard);
    EXPECT_FALSE(SettingsStore::setStandardBacking(std::make_shared<MemoryBacking>()));
    EXPECT_EQ(SettingsStore::standard(), standard);
}

}  // namespace
}  // namespace panelora::test
