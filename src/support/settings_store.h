// SettingsStore: the application's few persisted settings, in one JSON document, kept in a file
// or, through a Backing, in the platform's own preferences (the user defaults on macOS).
//
//   {"space": 125, "preferSmooth": true, "commandActsAsControl": true,
//    "displayArrangement": {"side": "left", "offset": -120}}
//
// The file is read once, at construction; every setter rewrites it atomically (a temporary file in
// the same folder, flushed and synced, then renamed over the old one), so a crash never leaves a
// half-written file. A missing file means defaults. A file that cannot be read or parsed is moved
// aside as "<name>.corrupt-<unix seconds>" and the program goes on with defaults; when even that
// fails, the store keeps its values in memory only and never overwrites the file. Members it does
// not know are kept as they are.
//
// Thread-safe: any method from any thread. Getters never touch the disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace panelora {

class SettingsStore {
  public:
    // Keeps the document somewhere other than a file. Called by one store at a time, never with
    // its value lock held.
    class Backing {
      public:
        virtual ~Backing() = default;
        // The stored document as JSON object text; nothing when nothing is stored.
        virtual std::optional<std::string> load() = 0;
        // Stores the whole document (JSON object text). False when it could not be stored.
        virtual bool save(const std::string& document) = 0;
    };

    explicit SettingsStore(std::filesystem::path path);
    // Reads the backing once; a document it gives that is not a JSON object means defaults.
    explicit SettingsStore(std::shared_ptr<Backing> backing);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The process's store, created on first use: over the backing given to
    // setStandardBacking(), else at defaultSettingsPath().
    static std::shared_ptr<SettingsStore> standard();
    // Call before anything uses standard(). False (and ignored) once the store exists.
    static bool setStandardBacking(std::shared_ptr<Backing> backing);

    // Empty for a store over a backing.
    const std::filesystem::path& path() const { return path_; }

    // Nothing when the member is absent or not of its type (a non-integer "space" reads as absent).
    std::optional<int64_t> space() const;
    std::optional<bool> preferSmooth() const;
    std::optional<bool> commandActsAsControl() const;
    // The stored "displayArrangement" value as compact JSON text, whatever its type; the reader
    // decides whether it is a valid record.
    std::optional<std::string> displayArrangement() const;

    // Each setter changes the value and rewrites the file. False when the file could not be
    // written (the value is kept in memory all the same) or, for setDisplayArrangement, when the
    // text is not JSON (nothing changes then).
    bool setSpace(int64_t value);
    bool setPreferSmooth(bool value);
    bool setCommandActsAsControl(bool value);
    bool setDisplayArrangement(std::string_view json);

    struct Document;

  private:
    bool persist();

    const std::filesystem::path path_;
    const std::shared_ptr<Backing> backing_;
    std::unique_ptr<Document> document_;  // guarded by mutex_
    uint64_t version_ = 0;                // bumped by each change; guarded by mutex_
    bool persistent_ = true;              // false when a bad file could not be moved aside
    mutable std::mutex mutex_;
    // Orders whole-file writes so that an older document never replaces a newer one on disk. It
    // guards the file, not the values: readers never wait for it.
    std::mutex writeMutex_;
    uint64_t writtenVersion_ = 0;  // guarded by writeMutex_
};

// $XDG_CONFIG_HOME/panelora/settings.json when XDG_CONFIG_HOME is set to an absolute path, else
// $HOME/.config/panelora/settings.json; "settings.json" in the working folder without HOME.
std::filesystem::path defaultSettingsPath();

}  // namespace panelora
