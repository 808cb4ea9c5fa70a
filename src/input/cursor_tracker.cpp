#include "input/cursor_tracker.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

#include "input/pointer_injector.h"
#include "support/main_queue.h"

namespace panelora {

namespace {

using std::chrono::milliseconds;

constexpr Duration activeInterval = milliseconds(8);
constexpr Duration activeLeeway = milliseconds(1);
constexpr Duration idleInterval = milliseconds(33);
constexpr Duration idleLeeway = milliseconds(4);
constexpr Duration imageInterval = milliseconds(50);
constexpr Duration imageLeeway = milliseconds(10);
constexpr int64_t idleAfterNanos = 1'000'000'000;
constexpr int64_t idleImageEvery = 5;  // image checks while idle: every 5th tick (250 ms)

// FNV-1a over bytes, finished with a 64-bit avalanche so that nearby inputs spread over all bits.
struct Hasher {
    uint64_t state = 0xcbf29ce484222325ull;
    void add(std::span<const uint8_t> bytes) {
        for (uint8_t b : bytes) {
            state ^= b;
            state *= 0x100000001b3ull;
        }
    }
    void add(double value) {
        if (value == 0) value = 0;  // -0.0 and 0.0 are one hot spot
        auto bits = std::bit_cast<uint64_t>(value);
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
        add(std::span<const uint8_t>(bytes, 8));
    }
    uint64_t finish() const {
        uint64_t h = state;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ull;
        h ^= h >> 33;
        return h;
    }
};

}  // namespace

std::shared_ptr<CursorTracker> CursorTracker::create(DisplayID displayID, int64_t logicalWidth,
                                                     Send send) {
    InputBackends backends = installedInjectionBackends();
    Environment environment{backends.cursor, backends.geometry,
                            SerialQueue::create("panelora.cursor", QueuePriority::userInteractive),
                            mainQueue(), &Clock::system()};
    return create(displayID, logicalWidth, std::move(send), std::move(environment));
}

std::shared_ptr<CursorTracker> CursorTracker::create(DisplayID displayID, int64_t logicalWidth,
                                                     Send send, Environment environment) {
    return std::shared_ptr<CursorTracker>(
        new CursorTracker(displayID, logicalWidth, std::move(send), std::move(environment)));
}

CursorTracker::CursorTracker(DisplayID displayID, int64_t logicalWidth, Send send,
                             Environment environment)
    : displayID_(displayID),
      logicalWidth_(static_cast<uint16_t>(std::clamp<int64_t>(logicalWidth, 0, 65535))),
      send_(std::move(send)),
      env_(std::move(environment)),
      clock_(env_.clock ? *env_.clock : env_.queue->clock()),
      lastMovement_(clock_.uptimeNanos()) {}

CursorTracker::~CursorTracker() {
    stop();
}

void CursorTracker::start() {
    std::weak_ptr<CursorTracker> weak = weak_from_this();
    auto position = TimerSource::create(env_.queue, [weak] {
        if (auto self = weak.lock()) self->samplePosition();
    });
    position->schedule(Duration::zero(), activeInterval, activeLeeway);
    auto image = TimerSource::create(env_.mainQueue, [weak] {
        if (auto self = weak.lock()) self->imageTick();
    });
    image->schedule(Duration::zero(), imageInterval, imageLeeway);
    {
        std::lock_guard lock(stateLock_);
        positionTimer_ = position;
        imageTimer_ = image;
    }
    position->resume();
    image->resume();
}

void CursorTracker::stop() {
    std::shared_ptr<TimerSource> position;
    std::shared_ptr<TimerSource> image;
    {
        std::lock_guard lock(stateLock_);
        position = std::move(positionTimer_);
        image = std::move(imageTimer_);
        positionTimer_.reset();
        imageTimer_.reset();
    }
    if (position) position->cancel();
    if (image) image->cancel();
}

bool CursorTracker::idle() const {
    std::lock_guard lock(stateLock_);
    return idle_;
}

std::optional<CursorTracker::Position> CursorTracker::lastPosition() const {
    std::lock_guard lock(stateLock_);
    return lastPosition_;
}

void CursorTracker::samplePosition() {
    if (!env_.cursor || !env_.geometry) return;
    std::optional<Point> location = env_.cursor->location();
    if (!location) return;
    Rect bounds = env_.geometry->bounds(displayID_);
    if (!(bounds.width > 0) || !(bounds.height > 0)) return;  // the display is gone

    Position sample{bounds.contains(*location),
                    static_cast<float>((location->x - bounds.minX()) / bounds.width),
                    static_cast<float>((location->y - bounds.minY()) / bounds.height)};

    std::optional<Position> previous = lastPosition();
    if (previous) {
        bool unchanged = sample.visible == previous->visible &&
                         std::fabs(previous->x - sample.x) < positionThreshold &&
                         std::fabs(previous->y - sample.y) < positionThreshold;
        // Movement off the display is not reported: the tablet only needs to know it left.
        bool stillOff = !sample.visible && !previous->visible;
        if (unchanged || stillOff) {
            checkIdle();
            return;
        }
    }
    {
        std::lock_guard lock(stateLock_);
        lastPosition_ = sample;
    }
    noteMovement();
    auto payload = Wire::cursorPositionPayload(sample.visible, sample.x, sample.y);
    if (send_) send_(Wire::PacketType::cursorPosition, payload);
}

// Idle timing runs on the monotonic clock: a wall-clock jump must not switch the sampling rate.
void CursorTracker::noteMovement() {
    bool wasIdle;
    {
        std::lock_guard lock(stateLock_);
        lastMovement_ = clock_.uptimeNanos();
        wasIdle = idle_;
        idle_ = false;
    }
    if (wasIdle) reschedulePositionTimer(activeInterval, activeLeeway);
}

void CursorTracker::checkIdle() {
    {
        std::lock_guard lock(stateLock_);
        if (idle_ || clock_.uptimeNanos() - lastMovement_ <= idleAfterNanos) return;
        idle_ = true;
    }
    reschedulePositionTimer(idleInterval, idleLeeway);
}

void CursorTracker::reschedulePositionTimer(Duration interval, Duration leeway) {
    std::shared_ptr<TimerSource> timer;
    {
        std::lock_guard lock(stateLock_);
        timer = positionTimer_;
    }
    if (timer) timer->schedule(Duration::zero(), interval, leeway);
}

void CursorTracker::imageTick() {
    int64_t ticks;
    bool isIdle;
    {
        std::lock_guard lock(stateLock_);
        ticks = ++imageTicks_;
        isIdle = idle_;
    }
    if (!isIdle || ticks % idleImageEvery == 0) captureImage();
}

std::optional<CursorTracker::Image> CursorTracker::cursorPNG(const PlatformCursor& cursor) {
    if (!(cursor.width > 0) || !(cursor.height > 0)) return std::nullopt;
    if (static_cast<float>(cursor.width) > static_cast<float>(maxCursorPoints) ||
        static_cast<float>(cursor.height) > static_cast<float>(maxCursorPoints))
        return std::nullopt;
    if (!cursor.png) return std::nullopt;
    std::optional<std::vector<uint8_t>> png = cursor.png();
    if (!png || png->empty() || png->size() > maxPngBytes) return std::nullopt;
    return Image{cursor, std::move(*png)};
}

void CursorTracker::captureImage() {
    if (!env_.cursor) return;
    std::optional<Position> position = lastPosition();
    if (!position || !position->visible) return;  // no image work off the virtual display

    std::optional<PlatformCursor> current = env_.cursor->currentSystemCursor();
    if (!current) return;
    std::optional<Image> image = cursorPNG(*current);
    if (!image) {
        std::optional<PlatformCursor> arrow = env_.cursor->arrowCursor();
        if (!arrow) return;
        image = cursorPNG(*arrow);
        if (!image) return;
    }

    uint64_t key = imageKey(image->png, image->cursor.hotSpot.x, image->cursor.hotSpot.y);
    if (lastImageKey_ == key) return;
    lastImageKey_ = key;

    auto payload = Wire::cursorImagePayload(
        logicalWidth_, static_cast<float>(image->cursor.width),
        static_cast<float>(image->cursor.height), static_cast<float>(image->cursor.hotSpot.x),
        static_cast<float>(image->cursor.hotSpot.y), image->png);
    if (send_) send_(Wire::PacketType::cursorImage, payload);
}

uint64_t CursorTracker::imageKey(std::span<const uint8_t> png, double hotSpotX, double hotSpotY) {
    Hasher hasher;
    hasher.add(png);
    hasher.add(hotSpotX);
    hasher.add(hotSpotY);
    return hasher.finish();
}

}  // namespace panelora
