// The Linux shell pieces that need no X server: the autostart entry, the settings commands and
// the detached start of a settings program, the status lines and the single-instance hand-over
// between two owners in one process.
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <iterator>
#include <sstream>

#include "platform/linux/shell/detached_spawn.h"
#include "platform/linux/shell/linux_permissions.h"
#include "platform/linux/shell/single_instance.h"
#include "platform/linux/shell/status_printer.h"
#include "platform/linux/shell/xdg_autostart.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

namespace fs = std::filesystem;

// ---- Launch at login ----

// The entry appears whole (written aside and renamed), replaced by a second registration, and
// goes; nothing to remove is no failure. A failed registration is reported and leaves no entry.
TEST(XdgAutostart, RegisterWritesTheEntryUnregisterRemovesItAndAFailureLeavesNone) {
    TempDir temp;
    const fs::path dir = temp.path() / "config" / "autostart";  // made on demand
    XdgAutostart autostart(dir, "/opt/panelora/bin/panelora");
    EXPECT_EQ(autostart.entryPath(), dir / "app.panelora.Panelora.desktop");
    using Status = LoginItemBackend::Status;
    EXPECT_EQ(autostart.status(), Status::notRegistered);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(autostart.registerApp(), std::nullopt);
        EXPECT_EQ(autostart.status(), Status::enabled);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    }
    EXPECT_EQ(fs::status(autostart.entryPath()).permissions() & fs::perms::all, fs::perms(0644));
    const std::string text = readFile(autostart.entryPath());
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    for (const char* line :
         {"\nType=Application\n", "\nName=Panelora\n", "\nExec=/opt/panelora/bin/panelora\n",
          "\nX-GNOME-Autostart-enabled=true\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " missing in\n" << text;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(autostart.unregisterApp(), std::nullopt);
        EXPECT_EQ(autostart.status(), Status::notRegistered);
    }
    EXPECT_FALSE(fs::exists(autostart.entryPath()));

    // A file where the folder should be (which fails for root too), or no program to name.
    writeFile(temp.path() / "autostart", "not a folder");
    XdgAutostart blocked(temp.path() / "autostart", "/usr/bin/panelora");
    const auto error = blocked.registerApp();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find((temp.path() / "autostart").string()), std::string::npos) << *error;
    EXPECT_EQ(blocked.status(), Status::notRegistered);
    XdgAutostart withoutProgram(temp.path(), "");
    EXPECT_TRUE(withoutProgram.registerApp().has_value());
    EXPECT_FALSE(fs::exists(withoutProgram.entryPath()));
}

TEST(XdgAutostart, AnEntrySwitchedOffByTheDesktopIsNotEnabled) {
    TempDir temp;
    XdgAutostart autostart(temp.path(), "/usr/bin/panelora");
    const bool on = true, off = false;
    const std::pair<const char*, bool> cases[] = {
        {"[Desktop Entry]\nType=Application\nExec=x\n", on},
        {"[Desktop Entry]\nExec=x\nHidden=true\n", off},
        {"[Desktop Entry]\nExec=x\nHidden = true\n", off},
        {"[Desktop Entry]\nHidden=false\n", on},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", off},
        {"[Desktop Entry]\nExec=x\n[Desktop Action new]\nHidden=true\n", on},  // another group's
        {"", on},
    };
    for (const auto& [text, enabled] : cases) {
        writeFile(autostart.entryPath(), text);
        EXPECT_EQ(autostart.status() == LoginItemBackend::Status::enabled, enabled) << text;
    }
}

TEST(XdgAutostart, DirectoryFollowsXdgConfigHomeThenHome) {
    // XDG_CONFIG_HOME and HOME (nullptr: unset), the folder.
    const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
        {"/cfg", "/home/u", "/cfg/autostart"},
        {"relative/cfg", "/home/u", "/home/u/.config/autostart"},  // not absolute: ignored
        {"", "/home/u", "/home/u/.config/autostart"},
        {nullptr, "/home/u", "/home/u/.config/autostart"},
        {nullptr, nullptr, std::nullopt},
    };
    ScopedEnvironment environment;
    for (const auto& [configHome, home, expected] : cases) {
        auto value = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
        environment.set("XDG_CONFIG_HOME", value(configHome));
        environment.set("HOME", value(home));
        auto dir = autostartDirectory();
        EXPECT_EQ(dir ? std::optional<std::string>(dir->string()) : std::nullopt, expected)
            << (configHome ? configHome : "(unset)");
    }
    // The current user's entry there names this program.
    TempDir temp;
    environment.set("XDG_CONFIG_HOME", temp.path().string());
    auto autostart = XdgAutostart::forCurrentUser();
    ASSERT_EQ(autostart->registerApp(), std::nullopt);
    EXPECT_EQ(autostart->entryPath(), temp.path() / "autostart" / "app.panelora.Panelora.desktop");
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    EXPECT_NE(readFile(autostart->entryPath()).find("\nExec=" + desktopExecArgument(self) + "\n"),
              std::string::npos);
}

TEST(XdgAutostart, ExecArgumentIsQuotedAndEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/panelora", "/usr/bin/panelora"},
        {"/opt/my apps/panelora", "\"/opt/my apps/panelora\""},
        {"/opt/100%/panelora", "/opt/100%%/panelora"},
        // Quoting escapes $ with a backslash, which the string level doubles.
        {"/opt/a$b/panelora", "\"/opt/a\\\\$b/panelora\""},
        {"/opt/say \"hi\"/p", "\"/opt/say \\\\\"hi\\\\\"/p\""},
        {"/opt/tab\there", "\"/opt/tab\\there\""},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(desktopExecArgument(path), expected) << path;
    }
}

// ---- Settings shortcuts ----

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The running desktop's program first, else any installed one; only for the settings panes.
TEST(SettingsCommand, PicksTheRunningDesktopsProgramThenAnyInstalledOne) {
    namespace P = Permissions;
    const std::string displays = P::settingsAddress(P::displaysPane, std::nullopt);
    const std::string screen = P::settingsAddress(P::securityPane, P::screenCaptureAnchor);
    const std::string access = P::settingsAddress(P::securityPane, P::accessibilityAnchor);
    const std::string gcc = "gnome-control-center", kde = "systemsettings";
    // Address, running desktops, installed programs, the command ("" for none).
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {displays, "GNOME", gcc + " " + kde, gcc + " display"},
        {displays, "KDE", gcc + " " + kde, kde + " kcm_kscreen"},
        {displays, "ubuntu GNOME", kde + " " + gcc, gcc + " display"},
        {displays, "xfce", "xfce4-display-settings", "xfce4-display-settings"},
        {displays, "XFCE", "arandr", "arandr"},
        {displays, "", "", ""},
        {screen, "GNOME", gcc, gcc},
        {access, "KDE", kde, kde},
        {access, "", "arandr", ""},
        {"https://example.org/", "GNOME", gcc, ""},
        {"x-apple.systempreferences:com.apple.preference.keyboard", "", gcc, ""},
    };
    for (const auto& [address, desktops, installed, expected] : cases) {
        auto find = [&, installed = words(installed)](std::string_view p) {
            const bool there = std::count(installed.begin(), installed.end(), p) > 0;
            return there ? std::optional("/bin/" + std::string(p)) : std::nullopt;
        };
        auto command = settingsCommand(address, words(desktops), find);
        if (command) command->front() = command->front().substr(5);
        EXPECT_EQ(command.value_or(std::vector<std::string>{}), words(expected))
            << address << " on " << desktops;
    }
}

TEST(FindOnPath, FindsExecutableFilesOnly) {
    TempDir temp;
    const fs::path a = temp.path() / "a", b = temp.path() / "b";
    fs::create_directories(a);
    fs::create_directories(b);
    writeFile(a / "tool", "#!/bin/sh\n");  // not executable
    writeFile(b / "tool", "#!/bin/sh\n");
    fs::permissions(b / "tool", fs::perms(0755));
    fs::create_directories(a / "dir-tool");  // a folder, however executable
    const std::string path = a.string() + ":" + b.string();
    EXPECT_EQ(findOnPath("tool", path), (b / "tool").string());
    EXPECT_EQ(findOnPath("dir-tool", path), std::nullopt);
    EXPECT_EQ(findOnPath("missing", path), std::nullopt);
    EXPECT_EQ(findOnPath("", path), std::nullopt);
    EXPECT_EQ(findOnPath((b / "tool").string(), ""), (b / "tool").string());
    EXPECT_EQ(findOnPath((a / "tool").string(), path), std::nullopt);
}

// The menu's display settings start the desktop's program detached: no signal of ours blocked or
// ignored, no output of ours.
TEST(SettingsShortcut, StartsTheProgramDetachedWithCleanSignalsAndNoOutput) {
    TempDir temp;
    const fs::path report = temp.path() / "report";
    writeFile(temp.path() / "gnome-control-center",
              "#!/bin/sh\nout=$(readlink /proc/$$/fd/1)\n{ echo \"args:$*\"; grep -E "
              "'^Sig(Blk|Ign):' /proc/self/status; echo \"stdout:$out\"; } > '" +
                  report.string() + ".tmp'\nmv '" + report.string() + ".tmp' '" + report.string() +
                  "'\n");
    fs::permissions(temp.path() / "gnome-control-center", fs::perms(0755));
    LinuxPermissions::Options options;
    options.desktops = {"GNOME"};
    options.find = [dir = temp.path().string()](std::string_view p) { return findOnPath(p, dir); };
    LinuxPermissions permissions(options);
    // As in the program: its stop signals blocked and SIGPIPE ignored.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    auto oldPipe = signal(SIGPIPE, SIG_IGN);
    openDisplaySettings(permissions);
    signal(SIGPIPE, oldPipe);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    ASSERT_TRUE(eventually([&] { return fs::exists(report); }));
    const std::string text = readFile(report);
    EXPECT_NE(text.find("args:display\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SigBlk:\t0000000000000000\n"), std::string::npos) << text;
    // The C library keeps two real-time signals of its own ignored; the ones that matter are not.
    const size_t ignored = text.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos) << text;
    const uint64_t mask = std::stoull(text.substr(ignored + 8, 16), nullptr, 16);
    for (int signo : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
        EXPECT_EQ(mask & (uint64_t(1) << (signo - 1)), 0u) << "signal " << signo << "\n" << text;
    EXPECT_NE(text.find("stdout:/dev/null\n"), std::string::npos) << text;
    EXPECT_FALSE(spawnDetached({(temp.path() / "missing").string()}));
}

// ---- Status lines ----

std::string printed(const std::function<void(std::FILE*)>& write) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    write(out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// The first state tells missing permissions and any statistics; then each change gets a line.
// An alert, on the same output, prints every line of its text and is answered with no button.
TEST(TextShell, PrintsEachStatusChangeOnItsOwnLineAndEveryLineOfAnAlert) {
    std::optional<std::optional<size_t>> chosen;
    const std::string text = printed([&](std::FILE* out) {
        StatusPrinter printer(out);
        using S = StatusPrinter::State;
        printer.update(S{"Looking", "1 fps", false, false});
        printer.update(S{"Looking", "1 fps", false, false});  // nothing new
        printer.update(S{"Connect", "", true, false});
        printer.update(S{"Streaming", "60 fps", true, false});
        printer.update(S{"Streaming", "59 fps", true, true});
        printer.update(S{"Disconnected", "", false, true});
        TextAlertPresenter presenter(out);
        presenter.present(Alert{"Panelora 2.0 is available",
                                "Faster.\n\nYou have version 1.0.",
                                {"Download", "Later"}},
                          [&](std::optional<size_t> button) { chosen = button; });
    });
    EXPECT_EQ(text,
              "permission: screen-recording off\npermission: accessibility off\nstatus: Looking\n"
              "stats: 1 fps\npermission: screen-recording on\nstatus: Connect\nstats:\n"
              "status: Streaming\nstats: 60 fps\npermission: accessibility on\nstats: 59 fps\n"
              "permission: screen-recording off\nstatus: Disconnected\nstats:\n"
              "alert: Panelora 2.0 is available\nalert: Faster.\nalert: \n"
              "alert: You have version 1.0.\n");
    EXPECT_EQ(chosen, std::optional<std::optional<size_t>>(std::in_place));  // answered: none
}

// ---- Single instance ----

TEST(SingleInstance, TheSocketIsInTheRuntimeFolderOrAPrivateTemporaryOne) {
    const std::string uid = std::to_string(getuid());
    TempDir temp;
    const std::string t = temp.path().string();
    using Value = std::optional<std::string>;
    // XDG_RUNTIME_DIR, TMPDIR and the name suffix (nothing: unset), the socket's path.
    const std::tuple<Value, Value, Value, std::string> cases[] = {
        {"/run/user/1000", t, std::nullopt, "/run/user/1000/app.panelora.Panelora.socket"},
        {"/run/user/1000", t, "t1", "/run/user/1000/app.panelora.Panelora.t1.socket"},
        {std::nullopt, t, std::nullopt, t + "/panelora-" + uid + "/app.panelora.Panelora.socket"},
        {"relative", t, "t1", t + "/panelora-" + uid + "/app.panelora.Panelora.t1.socket"},
        {"", std::nullopt, std::nullopt, "/tmp/panelora-" + uid + "/app.panelora.Panelora.socket"},
    };
    for (const auto& [runtime, tmp, suffix, path] : cases) {
        ScopedEnvironment environment;
        environment.set("XDG_RUNTIME_DIR", runtime);
        environment.set("TMPDIR", tmp);
        environment.set(SingleInstance::nameSuffixVariable, suffix);
        EXPECT_EQ(SingleInstance::defaultPath(), path);
    }
}

// Only a folder of the user's own that nobody else may enter holds the socket: anyone who can
// write there could take the name first. A missing folder is made private.
TEST(SingleInstance, TheFolderMustBeTheUsersAlone) {
    using Prepare = std::function<void(const fs::path& folder)>;
    auto mode = [](int m) { return [m](const fs::path& f) { fs::permissions(f, fs::perms(m)); }; };
    // What the folder is, how it is made so, whether the socket is taken there.
    const std::tuple<const char*, Prepare, bool> cases[] = {
        {"private", mode(0700), true},
        {"missing", [](const fs::path& f) { fs::remove(f); }, true},
        {"open to the group", mode(0750), false},
        {"open to all", mode(0777), false},
        {"others may pass", mode(0701), false},
        {"a link to a private folder",
         [](const fs::path& f) {
             fs::remove(f);
             fs::create_directory(f.string() + ".real");
             fs::permissions(f.string() + ".real", fs::perms(0700));
             fs::create_directory_symlink(f.string() + ".real", f);
         },
         false},
        {"another user's",
         [](const fs::path& f) {
             // Only root can give a folder away; others cannot meet this case.
             if (geteuid() == 0) {
                 ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
             }
         },
         geteuid() != 0},
    };
    for (const auto& [what, prepare, taken] : cases) {
        SCOPED_TRACE(what);
        TempDir temp;
        const fs::path folder = temp.path() / "instance";
        fs::create_directory(folder);
        fs::permissions(folder, fs::perms(0700));
        prepare(folder);
        const std::string path = SingleInstance::socketPath(folder.string(), "app.x", "");
        auto result = SingleInstance::acquire(path, 300ms);
        EXPECT_EQ(bool(result.instance), taken) << result.error;
        EXPECT_EQ(result.error.empty(), taken) << result.error;
        if (taken) {
            EXPECT_EQ(fs::symlink_status(folder).permissions() & fs::perms::all, fs::perms(0700));
            EXPECT_TRUE(fs::is_socket(path));
        } else {
            EXPECT_FALSE(fs::exists(path));
        }
        result.instance.reset();
        EXPECT_FALSE(fs::exists(path));  // a copy that ends leaves no socket
    }
}

// A socket left by a copy that crashed refuses connections: the new copy replaces it without
// asking anyone to quit. Requests other than "quit" are dropped; a holder that is asked to quit
// and stays keeps the name. (The hand-over to a copy that waits is the program test's.)
TEST(SingleInstance, ACrashedCopysSocketIsTakenOverAndOnlyAQuitAsksTheHolderToGo) {
    TempDir folder;  // mode 0700, as mkdtemp makes it
    const std::string name = SingleInstance::socketPath(folder.path().string(), "app.x", "");
    ASSERT_TRUE(unixSocket(name, true));  // bound and closed: the file stays
    Collected<int> quits;
    auto first = SingleInstance::acquire(name, 2s);
    ASSERT_TRUE(first.instance) << first.error;
    EXPECT_FALSE(first.askedOtherToQuit);
    first.instance->listen([&] { quits.add(0); });
    for (const std::string& request :
         {std::string("nope\n"), std::string("qui"), std::string("quit now\n"), std::string()}) {
        const UniqueFd connection = unixSocket(name, false);
        ASSERT_TRUE(connection);
        const int fd = connection.get();
        if (!request.empty()) {
            ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(request.size()));
        }
        // The holder hangs up (at once, or after its one-second wait for a whole request);
        // with bytes left unread, the hang-up is a reset.
        char byte;
        ssize_t n = read(fd, &byte, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << request << ": " << n;
    }
    EXPECT_EQ(quits.size(), 0u);
    auto second = SingleInstance::acquire(name, 300ms);
    EXPECT_FALSE(second.instance);
    EXPECT_TRUE(second.askedOtherToQuit);
    EXPECT_FALSE(second.error.empty());
    EXPECT_EQ(quits.size(), 1u);
}

}  // namespace
}  // namespace panelora::test
