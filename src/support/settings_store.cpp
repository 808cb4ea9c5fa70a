#include "support/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "support/log.h"

namespace panelora {

namespace fs = std::filesystem;

struct SettingsStore::Document {
    nlohmann::json value = nlohmann::json::object();
};

namespace {

constexpr const char* kSpace = "space";
constexpr const char* kPreferSmooth = "preferSmooth";
constexpr const char* kCommandActsAsControl = "commandActsAsControl";
constexpr const char* kDisplayArrangement = "displayArrangement";

std::shared_ptr<spdlog::logger> logger() {
    return log::get("settings");
}

enum class ReadResult { ok, missing, bad };

struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int f) : fd(f) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

ReadResult readDocument(const fs::path& path, nlohmann::json& out, std::string& why) {
    std::error_code ec;
    auto status = fs::status(path, ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory) return ReadResult::missing;
        why = ec.message();
        return ReadResult::bad;
    }
    if (!fs::is_regular_file(status)) {
        why = "not a regular file";
        return ReadResult::bad;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = std::strerror(errno);
        return ReadResult::bad;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        why = "read error";
        return ReadResult::bad;
    }
    auto parsed = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        why = "not valid JSON";
        return ReadResult::bad;
    }
    if (!parsed.is_object()) {
        why = "not a JSON object";
        return ReadResult::bad;
    }
    out = std::move(parsed);
    return ReadResult::ok;
}

// Renames the bad file to a free "<name>.corrupt-<seconds>[-n]" beside it.
bool moveAside(const fs::path& path, fs::path& movedTo) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    std::string base = path.filename().string() + ".corrupt-" + std::to_string(seconds);
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            path.parent_path() / (attempt == 0 ? base : base + "-" + std::to_string(attempt));
        std::error_code ec;
        if (fs::symlink_status(candidate, ec).type() != fs::file_type::not_found) continue;
        fs::rename(path, candidate, ec);
        if (ec) return false;
        movedTo = candidate;
        return true;
    }
    return false;
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file at the end of the chain of symbolic links at `path` (made relative to each link's
// folder), which need not exist; `path` when it is no link. Nothing on a loop.
std::optional<fs::path> followLinks(const fs::path& path, std::string& why) {
    constexpr int kMaxLinks = 40;  // as the kernel allows
    fs::path at = path;
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(at, ec))) return at;
        const fs::path next = fs::read_symlink(at, ec);
        if (ec) {
            why = ec.message();
            return std::nullopt;
        }
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    why = "too many levels of symbolic links";
    return std::nullopt;
}

// Temporary file in the target's folder, synced, then renamed over the target; the folder is
// synced too so that the rename itself survives a power cut. A symbolic link at `linkOrFile`
// (a dotfiles manager's) stays: the file it leads to is replaced, or created when it dangles.
bool writeAtomically(const fs::path& linkOrFile, const std::string& data, std::string& why) {
    const std::optional<fs::path> target = followLinks(linkOrFile, why);
    if (!target) return false;
    const fs::path& path = *target;
    std::error_code ec;
    fs::path folder = path.parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    std::string tmpl = (folder / (path.filename().string() + ".tmp-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    FileDescriptor file(::mkstemp(name.data()));
    if (file.fd < 0) {
        why = std::string("cannot create a temporary file: ") + std::strerror(errno);
        return false;
    }
    fs::path tmp(name.data());
    bool ok = ::fchmod(file.fd, 0600) == 0 && writeAll(file.fd, data) && ::fsync(file.fd) == 0;
    int fd = file.release();
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        fs::rename(tmp, path, ec);
        ok = !ec;
    }
    if (!ok) {
        why = ec ? ec.message() : std::string(std::strerror(errno));
        fs::remove(tmp, ec);
        return false;
    }
    FileDescriptor dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.fd >= 0) ::fsync(dir.fd);
    return true;
}

}  // namespace

SettingsStore::SettingsStore(fs::path path)
    : path_(std::move(path)), document_(std::make_unique<Document>()) {
    std::string why;
    nlohmann::json loaded;
    switch (readDocument(path_, loaded, why)) {
        case ReadResult::ok:
            document_->value = std::move(loaded);
            break;
        case ReadResult::missing:
            break;
        case ReadResult::bad: {
            // Behind a link the bad file itself goes aside, so that saving keeps the link.
            std::string ignored;
            const fs::path bad = followLinks(path_, ignored).value_or(path_);
            fs::path movedTo;
            if (moveAside(bad, movedTo)) {
                logger()->warn("{}", "unreadable settings file " + path_.string() + " (" + why +
                                         ") moved to " + movedTo.string() + "; using defaults");
            } else {
                persistent_ = false;
                logger()->warn("{}", "unreadable settings file " + path_.string() + " (" + why +
                                         ") could not be moved aside; using defaults, not saving");
            }
            break;
        }
    }
}

SettingsStore::SettingsStore(std::shared_ptr<Backing> backing)
    : backing_(std::move(backing)), document_(std::make_unique<Document>()) {
    const std::optional<std::string> text = backing_->load();
    if (!text) return;
    auto parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) {
        document_->value = std::move(parsed);
    } else {
        logger()->warn("{}", "unreadable stored settings; using defaults");
    }
}

SettingsStore::~SettingsStore() = default;

namespace {

struct StandardSlot {
    std::mutex mutex;
    std::shared_ptr<SettingsStore::Backing> backing;  // guarded by mutex
    std::shared_ptr<SettingsStore> store;             // guarded by mutex
};

StandardSlot& standardSlot() {
    static StandardSlot slot;
    return slot;
}

}  // namespace

std::shared_ptr<SettingsStore> SettingsStore::standard() {
    StandardSlot& slot = standardSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.store) {
        slot.store = slot.backing ? std::make_shared<SettingsStore>(slot.backing)
                                  : std::make_shared<SettingsStore>(defaultSettingsPath());
    }
    return slot.store;
}

bool SettingsStore::setStandardBacking(std::shared_ptr<Backing> backing) {
    StandardSlot& slot = standardSlot();
    std::lock_guard lock(slot.mutex);
    if (slot.store) return false;
    slot.backing = std::move(backing);
    return true;
}

std::optional<int64_t> SettingsStore::space() const {
    std::lock_guard lock(mutex_);
    auto it = document_->value.find(kSpace);
    if (it == document_->value.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned() && it->get<uint64_t>() > uint64_t(INT64_MAX)) return std::nullopt;
    return it->get<int64_t>();
}

std::optional<bool> SettingsStore::preferSmooth() const {
    std::lock_guard lock(mutex_);
    auto it = document_->value.find(kPreferSmooth);
    if (it == document_->value.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<bool> SettingsStore::commandActsAsControl() const {
    std::lock_guard lock(mutex_);
    auto it = document_->value.find(kCommandActsAsControl);
    if (it == document_->value.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<std::string> SettingsStore::displayArrangement() const {
    std::lock_guard lock(mutex_);
    auto it = document_->value.find(kDisplayArrangement);
    if (it == document_->value.end()) return std::nullopt;
    return it->dump();
}

bool SettingsStore::setSpace(int64_t value) {
    {
        std::lock_guard lock(mutex_);
        document_->value[kSpace] = value;
        ++version_;
    }
    return persist();
}

bool SettingsStore::setPreferSmooth(bool value) {
    {
        std::lock_guard lock(mutex_);
        document_->value[kPreferSmooth] = value;
        ++version_;
    }
    return persist();
}

bool SettingsStore::setCommandActsAsControl(bool value) {
    {
        std::lock_guard lock(mutex_);
        document_->value[kCommandActsAsControl] = value;
        ++version_;
    }
    return persist();
}

bool SettingsStore::setDisplayArrangement(std::string_view json) {
    auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return false;
    {
        std::lock_guard lock(mutex_);
        document_->value[kDisplayArrangement] = std::move(parsed);
        ++version_;
    }
    return persist();
}

bool SettingsStore::persist() {
    std::lock_guard write(writeMutex_);
    std::string text;
    uint64_t version;
    {
        std::lock_guard lock(mutex_);
        if (!persistent_) return false;
        version = version_;
        if (version <= writtenVersion_) return true;  // a later writer already saved this change
        text = document_->value.dump(2) + "\n";
    }
    if (backing_) {
        if (!backing_->save(text)) {
            logger()->warn("{}", "cannot store the settings");
            return false;
        }
        writtenVersion_ = version;
        return true;
    }
    std::string why;
    if (!writeAtomically(path_, text, why)) {
        logger()->warn("{}", "cannot save settings to " + path_.string() + ": " + why);
        return false;
    }
    writtenVersion_ = version;
    return true;
}

fs::path defaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return fs::path(xdg) / "panelora" / "settings.json";
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return fs::path(home) / ".config" / "panelora" / "settings.json";
    return fs::path("settings.json");
}

}  // namespace panelora
