#include "platform/linux/sway/sway_layout.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("sway");
}

constexpr auto kWatchInterval = std::chrono::milliseconds(250);
constexpr int kParkWidth = 640, kParkHeight = 480;  // what a parked output still costs

std::string defaultOwnedFile(const std::string& socketPath) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime && *runtime ? runtime : "/tmp";
    return dir + "/panelora-sway-outputs." + std::filesystem::path(socketPath).filename().string();
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

}  // namespace

std::vector<SwayOutput> parseOutputs(const nlohmann::json& reply) {
    std::vector<SwayOutput> outputs;
    if (!reply.is_array()) return outputs;
    for (const auto& o : reply) {
        if (!o.is_object() || !o.contains("name") || !o["name"].is_string()) continue;
        SwayOutput output;
        output.name = o["name"].get<std::string>();
        output.active = o.value("active", false);
        const auto rect = o.value("rect", nlohmann::json::object());
        if (rect.is_object()) {
            output.rect = Rect{rect.value("x", 0.0), rect.value("y", 0.0), rect.value("width", 0.0),
                               rect.value("height", 0.0)};
        }
        if (o.contains("scale") && o["scale"].is_number()) output.scale = o["scale"].get<double>();
        const auto mode = o.value("current_mode", nlohmann::json::object());
        if (mode.is_object()) {
            output.modeWidth = mode.value("width", 0);
            output.modeHeight = mode.value("height", 0);
        }
        outputs.push_back(std::move(output));
    }
    return outputs;
}

float swayScaleFor(int pixelWidth, int pixelHeight, int pointWidth, int pointHeight) {
    auto fits = [&](float scale) {
        // As wlroots computes the effective resolution: int /= float.
        int w = pixelWidth, h = pixelHeight;
        w = static_cast<int>(static_cast<float>(w) / scale);
        h = static_cast<int>(static_cast<float>(h) / scale);
        return w == pointWidth && h == pointHeight;
    };
    const float widthRatio = static_cast<float>(pixelWidth) / static_cast<float>(pointWidth);
    float scale =
        std::min(widthRatio, static_cast<float>(pixelHeight) / static_cast<float>(pointHeight));
    for (int step = 0; step < 64 && scale > 0; ++step) {
        if (fits(scale)) return scale;
        scale = std::nextafter(scale, 0.0f);
    }
    return widthRatio;
}

std::shared_ptr<SwayLayout> SwayLayout::create(std::shared_ptr<SwayIpc> ipc, std::string ownedFile,
                                               std::string* why) {
    if (ownedFile.empty()) ownedFile = defaultOwnedFile(ipc->socketPath());
    std::shared_ptr<SwayLayout> layout(new SwayLayout(std::move(ipc), std::move(ownedFile)));
    {
        std::ifstream in(layout->ownedFile_);
        std::string name;
        while (std::getline(in, name)) {
            if (!name.empty()) layout->owned_.insert(name);
        }
    }
    if (!layout->refresh()) {
        if (why) *why = "sway did not list its outputs";
        return nullptr;
    }
    // Leftovers of an earlier run: parked now, reused later; names sway no longer has go.
    std::string park;
    {
        std::lock_guard lock(layout->mutex_);
        std::set<std::string> present;
        int index = 0;
        for (const auto& output : layout->outputs_) {
            if (!layout->owned_.contains(output.name)) continue;
            present.insert(output.name);
            if (output.rect.x < kParkX) {
                park += "output " + output.name + " position " +
                        std::to_string(kParkX + 4096 * index) + " 0 mode " +
                        std::to_string(kParkWidth) + "x" + std::to_string(kParkHeight) +
                        " scale 1; ";
            }
            ++index;
        }
        layout->owned_ = std::move(present);
    }
    layout->saveOwned();
    if (!park.empty()) {
        logger()->info("parking outputs left by an earlier run");
        layout->ipc_->command(layout->pinOthers() + park);
        layout->refresh();
    }
    layout->watcher_ = std::thread([raw = layout.get()] { raw->watch(); });
    return layout;
}

SwayLayout::SwayLayout(std::shared_ptr<SwayIpc> ipc, std::string ownedFile)
    : ipc_(std::move(ipc)), ownedFile_(std::move(ownedFile)) {}

SwayLayout::~SwayLayout() {
    {
        std::lock_guard lock(watchMutex_);
        stopping_ = true;
    }
    watchWake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
}

void SwayLayout::watch() {
    std::unique_lock lock(watchMutex_);
    while (!stopping_) {
        watchWake_.wait_for(lock, kWatchInterval);
        if (stopping_) break;
        lock.unlock();
        refresh();
        lock.lock();
    }
}

bool SwayLayout::refresh() {
    const auto reply = ipc_->request(SwayIpc::getOutputs);
    if (!reply || !reply->is_array()) {
        // sway has gone: every display with it.
        publish({});
        std::function<void()> lost;
        {
            std::lock_guard lock(mutex_);
            lost = lostHandler_;
        }
        if (lost) std::call_once(lost_, lost);
        return false;
    }
    publish(parseOutputs(*reply));
    return true;
}

void SwayLayout::publish(std::vector<SwayOutput> outputs) {
    std::vector<std::pair<DisplayID, uint32_t>> changed;
    std::vector<std::function<void()>> gone;
    {
        std::lock_guard lock(mutex_);
        if (outputs == outputs_) return;
        auto boundsIn = [&](const std::vector<SwayOutput>& list) {
            std::map<DisplayID, Rect> all;
            const SwayOutput* main = nullptr;
            for (const auto& o : list) {
                if (o.active && !owned_.contains(o.name)) {
                    main = &o;
                    break;
                }
            }
            for (const auto& o : list) {
                auto id = ids_.find(o.name);
                if (id == ids_.end() || !o.active || !main) continue;
                all[id->second] = Rect{o.rect.x - main->rect.x, o.rect.y - main->rect.y,
                                       o.rect.width, o.rect.height};
            }
            return all;
        };
        const auto before = boundsIn(outputs_);
        // IDs for outputs not ours on first sight; ours lose theirs when their output went.
        for (const auto& o : outputs) {
            if (!owned_.contains(o.name)) idForName(o.name);
        }
        for (auto it = ids_.begin(); it != ids_.end();) {
            const bool present = std::ranges::any_of(
                outputs, [&](const SwayOutput& o) { return o.name == it->first; });
            if (!present && owned_.contains(it->first)) {
                for (auto& [watcher, entry] : goneWatchers_) {
                    if (entry.first == it->second && entry.second)
                        gone.push_back(std::exchange(entry.second, nullptr));
                }
                it = ids_.erase(it);
            } else {
                ++it;
            }
        }
        outputs_ = std::move(outputs);
        const auto after = boundsIn(outputs_);
        for (const auto& [id, rect] : after) {
            auto old = before.find(id);
            uint32_t flags = 0;
            if (old == before.end()) {
                flags = DisplayChange::addFlag | DisplayChange::movedFlag;
            } else {
                if (old->second.x != rect.x || old->second.y != rect.y)
                    flags |= DisplayChange::movedFlag;
                if (old->second.width != rect.width || old->second.height != rect.height)
                    flags |= DisplayChange::setModeFlag;
            }
            if (flags) changed.emplace_back(id, flags);
        }
        for (const auto& [id, rect] : before) {
            if (!after.contains(id)) changed.emplace_back(id, DisplayChange::removeFlag);
        }
    }
    fireGone(gone);
    callbacks_.deliver(std::move(changed));
}

void SwayLayout::fireGone(const std::vector<std::function<void()>>& handlers) {
    for (const auto& handler : handlers)
        handler();
}

DisplayID SwayLayout::idForName(const std::string& name) {
    auto [it, added] = ids_.try_emplace(name, nextID_);
    if (added) ++nextID_;
    return it->second;
}

void SwayLayout::setLostHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    lostHandler_ = std::move(handler);
}

std::vector<SwayOutput> SwayLayout::outputs() const {
    std::lock_guard lock(mutex_);
    return outputs_;
}

Rect SwayLayout::bounds(DisplayID display) const {
    std::lock_guard lock(mutex_);
    const SwayOutput* main = nullptr;
    for (const auto& o : outputs_) {
        if (o.active && !owned_.contains(o.name)) {
            main = &o;
            break;
        }
    }
    if (!main || display == 0) return {};
    for (const auto& [name, id] : ids_) {
        if (id != display) continue;
        for (const auto& o : outputs_) {
            if (o.name == name && o.active) {
                return Rect{o.rect.x - main->rect.x, o.rect.y - main->rect.y, o.rect.width,
                            o.rect.height};
            }
        }
    }
    return {};
}

DisplayID SwayLayout::mainDisplayID() const {
    std::lock_guard lock(mutex_);
    for (const auto& o : outputs_) {
        if (o.active && !owned_.contains(o.name)) {
            auto id = ids_.find(o.name);
            return id == ids_.end() ? 0 : id->second;
        }
    }
    return 0;
}

std::string SwayLayout::pinOthers() const {
    std::lock_guard lock(mutex_);
    std::string commands;
    for (const auto& o : outputs_) {
        if (!o.active || owned_.contains(o.name)) continue;
        commands += "output " + o.name + " position " + std::to_string(int(o.rect.x)) + " " +
                    std::to_string(int(o.rect.y)) + "; ";
    }
    return commands;
}

bool SwayLayout::configureOrigin(DisplayID display, int32_t x, int32_t y) {
    const std::string name = outputName(display);
    const Rect main = bounds(mainDisplayID());
    if (name.empty() || main.isEmpty()) return false;
    Rect mainInLayout;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : outputs_) {
            if (o.active && !owned_.contains(o.name)) {
                mainInLayout = o.rect;
                break;
            }
        }
    }
    std::string why;
    const bool ok = ipc_->command(pinOthers() + "output " + name + " position " +
                                      std::to_string(int(mainInLayout.x) + x) + " " +
                                      std::to_string(int(mainInLayout.y) + y),
                                  &why);
    if (!ok) logger()->warn("{}", why);
    refresh();
    return ok;
}

DisplayGeometry::CallbackToken SwayLayout::addReconfigurationCallback(
    ReconfigurationCallback callback) {
    return callbacks_.add(std::move(callback));
}

void SwayLayout::removeReconfigurationCallback(CallbackToken token) {
    callbacks_.remove(token);
}

std::optional<std::string> SwayLayout::spareOrNewOutput(OutputMaker& maker, std::string* why) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : outputs_) {
            if (owned_.contains(o.name) && !ids_.contains(o.name)) return o.name;
        }
    }
    auto name = maker.makeOutput(why);
    if (!name) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        owned_.insert(*name);
    }
    saveOwned();
    refresh();
    return name;
}

std::optional<DisplayID> SwayLayout::activate(const std::string& name, int pixelWidth,
                                              int pixelHeight, int logicalWidth, int logicalHeight,
                                              double hertz, std::string* why) {
    Rect main;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : outputs_) {
            if (o.active && !owned_.contains(o.name)) {
                main = o.rect;
                break;
            }
        }
    }
    const float scale = swayScaleFor(pixelWidth, pixelHeight, logicalWidth, logicalHeight);
    if (!ipc_->command(pinOthers() + "output " + name + " enable mode " +
                           std::to_string(pixelWidth) + "x" + std::to_string(pixelHeight) +
                           (hertz > 0 ? "@" + number(hertz) + "Hz" : std::string()) + " position " +
                           std::to_string(int(main.maxX())) + " " + std::to_string(int(main.y)) +
                           " scale " + number(scale),
                       why)) {
        return std::nullopt;
    }
    refresh();
    std::lock_guard lock(mutex_);
    const auto output =
        std::ranges::find_if(outputs_, [&](const SwayOutput& o) { return o.name == name; });
    if (output == outputs_.end() || !output->active) {
        if (why) *why = "sway has no active output " + name;
        return std::nullopt;
    }
    if (output->rect.width != logicalWidth || output->rect.height != logicalHeight) {
        logger()->warn("{} looks {}×{} rather than {}×{}", name, output->rect.width,
                       output->rect.height, logicalWidth, logicalHeight);
    }
    ids_.erase(name);
    return idForName(name);
}

void SwayLayout::park(DisplayID display) {
    std::vector<std::function<void()>> gone;
    std::string name;
    int index = 0;
    {
        std::lock_guard lock(mutex_);
        for (auto it = ids_.begin(); it != ids_.end(); ++it) {
            if (it->second == display && owned_.contains(it->first)) {
                name = it->first;
                ids_.erase(it);
                break;
            }
        }
        if (name.empty()) return;
        index = static_cast<int>(std::distance(owned_.begin(), owned_.find(name)));
        for (auto& [watcher, entry] : goneWatchers_) {
            if (entry.first == display && entry.second)
                gone.push_back(std::exchange(entry.second, nullptr));
        }
    }
    std::string why;
    if (!ipc_->command(pinOthers() + "output " + name + " position " +
                           std::to_string(kParkX + 4096 * index) + " 0 mode " +
                           std::to_string(kParkWidth) + "x" + std::to_string(kParkHeight) +
                           " scale 1",
                       &why)) {
        logger()->warn("{}", why);
    }
    refresh();
    fireGone(gone);
}

std::string SwayLayout::outputName(DisplayID display) const {
    std::lock_guard lock(mutex_);
    for (const auto& [name, id] : ids_) {
        if (id == display) return name;
    }
    return {};
}

std::vector<DisplayID> SwayLayout::liveDisplays() const {
    std::lock_guard lock(mutex_);
    std::vector<DisplayID> live;
    for (const auto& [name, id] : ids_) {
        if (owned_.contains(name)) live.push_back(id);
    }
    return live;
}

std::set<std::string> SwayLayout::ownedOutputs() const {
    std::lock_guard lock(mutex_);
    return owned_;
}

bool SwayLayout::watchGone(DisplayID display, uint64_t watcher, std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    const bool live = std::ranges::any_of(ids_, [&](const auto& entry) {
        return entry.second == display && owned_.contains(entry.first);
    });
    if (!live) return false;
    goneWatchers_[watcher] = {display, std::move(handler)};
    return true;
}

void SwayLayout::unwatchGone(uint64_t watcher) {
    std::function<void()> dropped;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    auto found = goneWatchers_.find(watcher);
    if (found == goneWatchers_.end()) return;
    dropped = std::move(found->second.second);
    goneWatchers_.erase(found);
}

void SwayLayout::saveOwned() const {
    std::set<std::string> names = ownedOutputs();
    std::ofstream out(ownedFile_, std::ios::trunc);
    for (const auto& name : names)
        out << name << '\n';
}

}  // namespace panelora
