#include "platform/linux/shell/xdg_autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "support/app_info.h"

namespace panelora {
namespace {

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
    return what + " " + path.string() + ": " + std::strerror(error);
}

std::string trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

// Owns the temporary file until it has been renamed into place.
struct TemporaryFile {
    std::string path;
    int fd = -1;
    bool keep = false;
    ~TemporaryFile() {
        if (fd >= 0) close(fd);
        if (!keep && !path.empty()) unlink(path.c_str());
    }
};

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<std::filesystem::path> autostartDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::filesystem::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return std::filesystem::path(home) / ".config" / "autostart";
    return std::nullopt;
}

std::string desktopExecArgument(const std::string& path) {
    static const char* reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string argument;
    if (path.find_first_of(reserved) != std::string::npos) {
        argument += '"';
        for (char c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
            argument += c;
        }
        argument += '"';
    } else {
        argument = path;
    }
    std::string value;
    for (char c : argument) {
        switch (c) {
            case '%':
                value += "%%";
                break;
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::string autostartEntryText(const std::string& executable) {
    std::string text;
    text += "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += std::string("Name=") + kAppName + "\n";
    text += "Comment=Use a tablet as a second display\n";
    text += "Exec=" + desktopExecArgument(executable) + "\n";
    text += "Terminal=false\n";
    text += "X-GNOME-Autostart-enabled=true\n";
    return text;
}

XdgAutostart::XdgAutostart(std::filesystem::path directory, std::string executable)
    : directory_(std::move(directory)),
      entry_(directory_ / (std::string(kAppIdentifier) + ".desktop")),
      executable_(std::move(executable)) {}

std::shared_ptr<XdgAutostart> XdgAutostart::forCurrentUser() {
    std::filesystem::path directory = autostartDirectory().value_or("autostart");
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return std::make_shared<XdgAutostart>(std::move(directory), error ? "" : self.string());
}

std::optional<std::string> XdgAutostart::registerApp() {
    if (executable_.empty()) return "Couldn't find the path of the running program";
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    if (error) return "Couldn't create " + directory_.string() + ": " + error.message();

    TemporaryFile temporary;
    std::string pattern = entry_.string() + ".XXXXXX";
    temporary.fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (temporary.fd < 0) return describe("Couldn't write", entry_, errno);
    temporary.path = pattern;
    if (!writeAll(temporary.fd, autostartEntryText(executable_)) ||
        fchmod(temporary.fd, 0644) != 0 || fsync(temporary.fd) != 0) {
        return describe("Couldn't write", entry_, errno);
    }
    if (close(temporary.fd) != 0) {
        temporary.fd = -1;
        return describe("Couldn't write", entry_, errno);
    }
    temporary.fd = -1;
    if (rename(temporary.path.c_str(), entry_.c_str()) != 0) {
        return describe("Couldn't write", entry_, errno);
    }
    temporary.keep = true;
    return std::nullopt;
}

std::optional<std::string> XdgAutostart::unregisterApp() {
    if (unlink(entry_.c_str()) != 0 && errno != ENOENT) {
        return describe("Couldn't remove", entry_, errno);
    }
    return std::nullopt;
}

LoginItemBackend::Status XdgAutostart::status() {
    std::ifstream in(entry_);
    if (!in) return Status::notRegistered;
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = trim(line.substr(0, equals));
        std::string value = trim(line.substr(equals + 1));
        if (key == "Hidden" && value == "true") return Status::notRegistered;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return Status::notRegistered;
    }
    return Status::enabled;
}

}  // namespace panelora
