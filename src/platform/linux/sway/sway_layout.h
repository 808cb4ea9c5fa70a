// SwayLayout: the DisplayGeometry backend on sway's IPC (get_outputs), and the bookkeeping of the
// outputs Panelora made.
//
// Global points are sway's layout coordinates (logical pixels) moved so that the main output's
// top-left corner is the origin; the main output is the first active output, in sway's order,
// that is not one of ours. sway 1.7 sends no output events over IPC, so a watcher thread reads
// the layout every 250 ms and posts one reconfiguration callback per changed display to the main
// queue.
//
// Our outputs: sway 1.7 cannot remove or disable a headless output, so an output made for a
// session is parked when the session lets it go (moved far right of everything and shrunk, out of
// the pointer's reach) and reused by the next session. Their names are kept in a file in
// $XDG_RUNTIME_DIR named after sway's socket, so that a crash's leftovers are known, parked and
// reused at the next start. Each session's use of an output gets a display ID of its own (the
// other outputs keep theirs); a parked output has none, so its bounds are empty.
//
// Threads: the lookups read a snapshot under a mutex from any thread; IPC calls run outside it.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "display/display_geometry.h"
#include "display/reconfiguration_callbacks.h"
#include "platform/linux/sway/sway_ipc.h"

namespace panelora {

// One output as get_outputs describes it.
struct SwayOutput {
    std::string name;
    bool active = false;
    Rect rect;  // layout coordinates (logical pixels)
    double scale = 1;
    int modeWidth = 0, modeHeight = 0;  // pixels
    bool operator==(const SwayOutput&) const = default;
};
// The outputs of a get_outputs reply; entries without a name are left out.
std::vector<SwayOutput> parseOutputs(const nlohmann::json& reply);

// The compositor's own way of making one more output (sway: create_output over IPC).
class OutputMaker {
  public:
    virtual ~OutputMaker() = default;
    // The new output's name; nothing, with `why`, when none was made.
    virtual std::optional<std::string> makeOutput(std::string* why) = 0;
};

class SwayLayout final : public DisplayGeometry {
  public:
    // Nothing, with `why`, when get_outputs gives nothing. `ownedFile` empty: the default file in
    // $XDG_RUNTIME_DIR (or /tmp).
    static std::shared_ptr<SwayLayout> create(std::shared_ptr<SwayIpc> ipc,
                                              std::string ownedFile = {},
                                              std::string* why = nullptr);
    ~SwayLayout() override;

    Rect bounds(DisplayID display) const override;
    DisplayID mainDisplayID() const override;
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override;
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override;
    void removeReconfigurationCallback(CallbackToken token) override;

    // Reads get_outputs now and publishes the changes; false when sway did not answer.
    bool refresh();
    // Called once, on the thread that found it, when sway stops answering.
    void setLostHandler(std::function<void()> handler);
    std::vector<SwayOutput> outputs() const;

    // --- our outputs ---
    // A parked output of ours to reuse, or a new one from `maker` (remembered as ours).
    std::optional<std::string> spareOrNewOutput(OutputMaker& maker, std::string* why);
    // Gives `name` the pixels `pixelWidth` × `pixelHeight` refreshed `hertz` times a second
    // (sway renders and copies at most that often) at a scale that makes it `logicalWidth` ×
    // `logicalHeight`, right of the main output, and a new display ID.
    std::optional<DisplayID> activate(const std::string& name, int pixelWidth, int pixelHeight,
                                      int logicalWidth, int logicalHeight, double hertz,
                                      std::string* why);
    // Takes the display out of the layout (parks its output); its ID is gone for good.
    void park(DisplayID display);
    // The output a live display stands for (ours or not); empty when none.
    std::string outputName(DisplayID display) const;
    std::vector<DisplayID> liveDisplays() const;
    std::set<std::string> ownedOutputs() const;
    // `handler` runs once, on some thread, when the display goes (parked, or its output went).
    // Returns false (and never runs it) when the display is not live.
    bool watchGone(DisplayID display, uint64_t watcher, std::function<void()> handler);
    void unwatchGone(uint64_t watcher);

    static constexpr int kParkX = 1 << 20;  // layout x of parked outputs, far beyond any screen

  private:
    SwayLayout(std::shared_ptr<SwayIpc> ipc, std::string ownedFile);
    void watch();
    void publish(std::vector<SwayOutput> outputs);
    // "output X position x y" for every active output not ours, so that sway does not arrange
    // them anew around a change of ours.
    std::string pinOthers() const;
    void saveOwned() const;
    DisplayID idForName(const std::string& name);  // under mutex_
    void fireGone(const std::vector<std::function<void()>>& handlers);

    const std::shared_ptr<SwayIpc> ipc_;
    const std::string ownedFile_;

    mutable std::mutex mutex_;
    std::vector<SwayOutput> outputs_;       // guarded by mutex_
    std::set<std::string> owned_;           // guarded by mutex_
    std::map<std::string, DisplayID> ids_;  // guarded by mutex_: live IDs by output name
    DisplayID nextID_ = 1;                  // guarded by mutex_
    std::map<uint64_t, std::pair<DisplayID, std::function<void()>>> goneWatchers_;  // guarded
    ReconfigurationCallbacks callbacks_;

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    bool stopping_ = false;  // guarded by watchMutex_
    std::thread watcher_;
    std::function<void()> lostHandler_;  // guarded by mutex_
    std::once_flag lost_;
};

// The scale that makes `pixels` look `points` in sway, which truncates pixels ÷ scale (in single
// precision) to get the logical size: the largest float scale that gives both sizes exactly,
// else the width's ratio.
float swayScaleFor(int pixelWidth, int pixelHeight, int pointWidth, int pointHeight);

}  // namespace panelora
