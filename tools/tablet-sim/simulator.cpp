#include "simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "h264_decoder.h"
#include "png_writer.h"
#include "protocol/packet_reader.h"
#include "stream_checker.h"
#include "support/clock.h"
#include "support/serial_queue.h"
#include "support/stop_signal.h"

namespace panelora::tabletsim {

namespace {

constexpr size_t maxReportedViolations = 100;

int64_t nowMicros() {
    return Clock::system().uptimeMicros();
}

}  // namespace

// State the connections and the main loop share. `mutex` guards everything but `wake`.
struct Simulator::Shared {
    std::mutex mutex;
    Counters totals;
    LatencyStats latency;
    Counters windowStart;  // totals at the start of the current verbose window
    LatencyStats windowLatency;
    uint64_t violationCount = 0;
    std::vector<std::string> violations;
    double streamSeconds = 0;
    Picture lastPicture;

    UniqueFd wake;  // eventfd: a connection ended, or a violation happened

    void signalWake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake.get(), &one, sizeof one);
    }
};

namespace {

// The connection's writing end, shared by the tasks on the send queue. Only the send queue
// writes; the descriptor outlives the queue.
struct Sender {
    int fd = -1;
    std::atomic<bool> open{true};

    bool write(std::span<const uint8_t> bytes) {
        if (!open.load()) return false;
        if (!writeAll(fd, bytes)) {
            open.store(false);
            return false;
        }
        return true;
    }
};

}  // namespace

class Simulator::Connection {
  public:
    Connection(UniqueFd fd, uint64_t number, const Options& options, std::shared_ptr<Shared> shared)
        : fd_(std::move(fd)),
          number_(number),
          options_(options),
          shared_(std::move(shared)),
          startMicros_(nowMicros()) {
        sender_ = std::make_shared<Sender>();
        sender_->fd = fd_.get();
    }

    ~Connection() { close(); }

    void start() {
        // A host that stops reading must not hang the simulator's writes forever.
        timeval timeout{5, 0};
        setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const int one = 1;
        setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        queue_ = SerialQueue::create("tablet-sim.send", QueuePriority::userInteractive);
        queueRaw_ = queue_.get();
        scheduleSends();
        reader_ = std::thread([this, stop = readerStop_.token()] { readLoop(stop); });
    }

    bool ended() const { return ended_.load(); }
    int64_t startMicros() const { return startMicros_; }

    // Idempotent. Shuts the socket down (waking the reader and any blocked write), joins the
    // reader, drains the send queue, then closes the descriptor.
    void close() {
        if (!fd_) return;
        closedByUs_.store(true);
        sender_->open.store(false);
        ::shutdown(fd_.get(), SHUT_RDWR);
        if (reader_.joinable()) {
            readerStop_.requestStop();
            reader_.join();
        }
        queue_.reset();
        fd_.reset();
    }

  private:
    void postAt(int64_t atMs, SerialQueue::Task task) {
        const int64_t delay = startMicros_ + atMs * 1000 - nowMicros();
        queueRaw_->postAfter(std::chrono::microseconds(delay), std::move(task));
    }

    void countSent(uint64_t Counters::*field) {
        std::lock_guard lock(shared_->mutex);
        ++(shared_->totals.*field);
    }

    // The hello goes first: input and key requests timed before it follow right after it.
    void scheduleSends() {
        const std::vector<uint8_t> hello = helloBytes(options_.hello);
        if (hello.empty()) {
            scheduleAfterHello();
            return;
        }
        postAt(options_.helloDelayMs, [this, hello] {
            sender_->write(hello);
            scheduleAfterHello();
        });
    }

    void scheduleAfterHello() {
        for (const ScriptEvent& event : options_.script) {
            auto bytes = Wire::packet(event.type, event.payload);
            const bool keyRequest = event.type == Wire::PacketType::keyRequest;
            postAt(event.atMs, [this, bytes = std::move(bytes), keyRequest] {
                // The queue is drained before this connection is destroyed.
                if (sender_->write(bytes)) {
                    countSent(keyRequest ? &Counters::keyRequestsSent : &Counters::inputsSent);
                }
            });
        }
        if (options_.keyRequestEveryMs > 0) scheduleKeyRequest(1);
    }

    void scheduleKeyRequest(uint64_t k) {
        postAt(static_cast<int64_t>(k) * options_.keyRequestEveryMs, [this, k] {
            static const std::vector<uint8_t> request =
                Wire::packet(Wire::PacketType::keyRequest, {});
            if (!sender_->write(request)) return;
            countSent(&Counters::keyRequestsSent);
            scheduleKeyRequest(k + 1);
        });
    }

    void sendPong(const std::array<uint8_t, 8>& stamp) {
        auto bytes = Wire::packet(Wire::PacketType::pong, stamp);
        auto task = [this, sender = sender_, bytes = std::move(bytes)] {
            if (sender->write(bytes)) countSent(&Counters::pongsSent);
        };
        if (options_.pongDelayMs > 0) {
            queue_->postAfter(std::chrono::milliseconds(options_.pongDelayMs), std::move(task));
        } else {
            queue_->post(std::move(task));
        }
    }

    void reportViolations(const StreamChecker& checker, size_t& shown, uint64_t& counted) {
        const auto& list = checker.violations();
        std::vector<std::string> fresh;
        for (; shown < list.size(); ++shown) {
            fresh.push_back("connection " + std::to_string(number_) + ", packet " +
                            std::to_string(list[shown].packetIndex) + ": " + list[shown].message);
        }
        const uint64_t added = checker.violationCount() - counted;
        counted = checker.violationCount();
        if (added == 0) return;
        for (const std::string& line : fresh) {
            std::fprintf(stderr, "tablet-sim: violation (%s)\n", line.c_str());
        }
        {
            std::lock_guard lock(shared_->mutex);
            shared_->violationCount += added;
            for (std::string& line : fresh) {
                if (shared_->violations.size() < maxReportedViolations) {
                    shared_->violations.push_back(std::move(line));
                }
            }
        }
        if (options_.strict) shared_->signalWake();
    }

    void readLoop(const StopToken& stop) {
        Wire::PacketReader reader(fd_.get());
        StreamChecker checker;
        auto decoder = H264Decoder::create(!options_.verbose);
        if (!decoder) std::fprintf(stderr, "tablet-sim: no H.264 decoder in libavcodec\n");
        bool needKey = true;
        bool stalled = false;
        std::optional<int64_t> firstFrameMicros;
        size_t shown = 0;
        uint64_t counted = 0;

        for (;;) {
            if (options_.stallAtMs && !stalled &&
                nowMicros() - startMicros_ >= *options_.stallAtMs * 1000) {
                stalled = true;
                countSent(&Counters::stalls);
                if (!Clock::system().sleepFor(std::chrono::milliseconds(options_.stallForMs),
                                              stop)) {
                    break;
                }
            }
            const auto packet = reader.next();
            if (!packet) break;
            const StreamChecker::Outcome outcome = checker.check(packet->rawType, packet->payload);
            const auto type = packet->type();

            Counters delta;
            delta.packets = 1;
            delta.bytes = Wire::headerSize + packet->payload.size();
            std::vector<int64_t> latencies;
            if (type == Wire::PacketType::config) {
                ++delta.configs;
                delta.videoBytes = delta.bytes;
            } else if (type == Wire::PacketType::ping) {
                ++delta.pings;
                if (outcome.ping && !options_.noPong) sendPong(*outcome.ping);
            } else if (type == Wire::PacketType::cursorPosition) {
                ++delta.cursorPositions;
            } else if (type == Wire::PacketType::cursorImage) {
                ++delta.cursorImages;
            } else if (type == Wire::PacketType::frame) {
                ++delta.frames;
                delta.videoBytes = delta.bytes;
                if (!firstFrameMicros) firstFrameMicros = nowMicros();
                const bool flaggedKey = !packet->payload.empty() && (packet->payload[0] & 1);
                if (flaggedKey) ++delta.keyFrames;
                if (!outcome.frame || !decoder) {
                    // Malformed, or nothing decodes it: lost for the viewer.
                    if (!flaggedKey && needKey) {
                        ++delta.missingReference;
                    } else {
                        ++delta.corrupt;
                        needKey = true;
                    }
                } else if (!outcome.frame->isKey && needKey) {
                    ++delta.missingReference;
                } else {
                    const auto result = decoder->decode(*outcome.frame, checker.parameterSets());
                    const int64_t done = nowMicros();
                    if (result.error) {
                        ++delta.corrupt;
                        needKey = true;
                    } else {
                        if (outcome.frame->isKey) needKey = false;
                        delta.decoded += result.pictures.size();
                        for (uint64_t pts : result.pictures) {
                            latencies.push_back(done - static_cast<int64_t>(pts));
                        }
                    }
                }
            }
            {
                std::lock_guard lock(shared_->mutex);
                shared_->totals += delta;
                for (int64_t l : latencies) {
                    shared_->latency.add(l);
                    shared_->windowLatency.add(l);
                }
            }
            if (outcome.violated) reportViolations(checker, shown, counted);
        }

        const bool closedByUs = closedByUs_.load();
        checker.finish(reader.end(), closedByUs);
        reportViolations(checker, shown, counted);
        Counters delta;
        Picture last;
        if (decoder) {
            const auto rest = decoder->flush();
            const int64_t done = nowMicros();
            if (!rest.error) {
                delta.decoded = rest.pictures.size();
            }
            last = decoder->takeLastPicture();
            std::lock_guard lock(shared_->mutex);
            for (uint64_t pts : rest.pictures)
                shared_->latency.add(done - int64_t(pts));
        }
        {
            std::lock_guard lock(shared_->mutex);
            shared_->totals += delta;
            if (!last.empty()) shared_->lastPicture = std::move(last);
            if (firstFrameMicros) {
                shared_->streamSeconds += double(nowMicros() - *firstFrameMicros) / 1e6;
            }
        }
        if (options_.verbose) {
            static constexpr const char* ends[] = {"open", "closed by the host",
                                                   "closed inside a packet", "read failed",
                                                   "length over 1000000"};
            std::fprintf(
                stderr, "tablet-sim: connection %llu ended (%s)\n",
                static_cast<unsigned long long>(number_),
                closedByUs ? "closed by the simulator" : ends[static_cast<int>(reader.end())]);
        }
        ended_.store(true);
        shared_->signalWake();
    }

    UniqueFd fd_;
    const uint64_t number_;
    const Options& options_;
    std::shared_ptr<Shared> shared_;
    const int64_t startMicros_;
    std::shared_ptr<Sender> sender_;
    std::shared_ptr<SerialQueue> queue_;
    // Set once in start(); tasks on the queue re-post through it (a queue that is shutting down
    // drops what is posted), never through queue_, which close() resets.
    SerialQueue* queueRaw_ = nullptr;
    StopSource readerStop_;  // ends the reader's stall early
    std::thread reader_;
    std::atomic<bool> ended_{false};
    std::atomic<bool> closedByUs_{false};
};

Simulator::Simulator(Options options)
    : options_(std::move(options)), shared_(std::make_shared<Shared>()) {
    shared_->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

Simulator::~Simulator() = default;

bool Simulator::listen(std::string& error) {
    if (!shared_->wake) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    listenFd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listenFd_) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    setsockopt(listenFd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_.get(), 4) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " +
                std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    return true;
}

Report Simulator::run(int stopFd) {
    const int64_t startMicros = nowMicros();
    const std::optional<int64_t> deadline =
        options_.durationMs ? std::optional(startMicros + *options_.durationMs * 1000)
                            : std::nullopt;
    int64_t nextTick = startMicros + 1'000'000;
    std::unique_ptr<Connection> connection;
    uint64_t connectionsStarted = 0;
    uint64_t connectionsEnded = 0;
    std::string endReason;

    auto finishConnection = [&] {
        connection->close();
        connection.reset();
        ++connectionsEnded;
    };

    while (endReason.empty()) {
        const int64_t now = nowMicros();
        if (deadline && now >= *deadline) {
            endReason = "duration";
            break;
        }
        int64_t waitUntil = options_.verbose ? nextTick : now + 60'000'000;
        if (deadline) waitUntil = std::min(waitUntil, *deadline);
        const int64_t closeAt = connection && options_.closeAfterMs
                                    ? connection->startMicros() + *options_.closeAfterMs * 1000
                                    : INT64_MAX;
        waitUntil = std::min(waitUntil, closeAt);
        const int timeoutMs =
            static_cast<int>(std::max<int64_t>(0, (waitUntil - now + 999) / 1000));

        pollfd fds[3] = {{shared_->wake.get(), POLLIN, 0},
                         {connection ? -1 : listenFd_.get(), POLLIN, 0},
                         {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, 3, timeoutMs);
        if (n < 0 && errno != EINTR) {
            endReason = std::string("poll failed: ") + std::strerror(errno);
            break;
        }
        if (n > 0 && (fds[2].revents & POLLIN)) {
            endReason = "signal";
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count;
            [[maybe_unused]] const ssize_t r = ::read(shared_->wake.get(), &count, sizeof count);
        }
        if (options_.strict) {
            std::lock_guard lock(shared_->mutex);
            if (shared_->violationCount > 0) endReason = "violation";
        }
        if (!endReason.empty()) break;
        if (connection && (connection->ended() || nowMicros() >= closeAt)) {
            finishConnection();
            if (options_.connections && connectionsEnded >= *options_.connections) {
                endReason = "connections";
                break;
            }
        }
        if (!connection && n > 0 && (fds[1].revents & POLLIN)) {
            UniqueFd accepted(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted) {
                ++connectionsStarted;
                if (options_.verbose) {
                    std::fprintf(stderr, "tablet-sim: connection %llu accepted\n",
                                 static_cast<unsigned long long>(connectionsStarted));
                }
                connection = std::make_unique<Connection>(std::move(accepted), connectionsStarted,
                                                          options_, shared_);
                connection->start();
            }
        }
        if (options_.verbose && nowMicros() >= nextTick) {
            Counters window;
            LatencySummary latency;
            {
                std::lock_guard lock(shared_->mutex);
                window = shared_->totals;
                const Counters& s = shared_->windowStart;
                window.decoded -= s.decoded;
                window.videoBytes -= s.videoBytes;
                window.corrupt -= s.corrupt;
                window.missingReference -= s.missingReference;
                shared_->windowStart = shared_->totals;
                latency = shared_->windowLatency.summary();
                shared_->windowLatency.clear();
            }
            char latencyText[64] = "latency -";
            if (latency.samples > 0) {
                std::snprintf(latencyText, sizeof latencyText, "latency %.1f ms (p99 %.1f)",
                              latency.medianMs, latency.p99Ms);
            }
            std::fprintf(stderr, "tablet-sim: %llu fps · %.1f Mbps · %s · dropped %llu\n",
                         static_cast<unsigned long long>(window.decoded),
                         double(window.videoBytes) * 8.0 / 1e6, latencyText,
                         static_cast<unsigned long long>(window.corrupt + window.missingReference));
            nextTick += 1'000'000;
            if (nextTick < nowMicros()) nextTick = nowMicros() + 1'000'000;
        }
    }
    if (connection) finishConnection();

    Report report;
    report.endReason = endReason;
    report.connections = connectionsStarted;
    report.runSeconds = double(nowMicros() - startMicros) / 1e6;
    Picture last;
    {
        std::lock_guard lock(shared_->mutex);
        report.totals = shared_->totals;
        report.streamSeconds = shared_->streamSeconds;
        report.latency = shared_->latency.summary();
        report.violationCount = shared_->violationCount;
        report.violations = shared_->violations;
        last = std::move(shared_->lastPicture);
    }
    report.lastWidth = last.width();
    report.lastHeight = last.height();
    if (!options_.pngPath.empty()) {
        std::string error;
        const auto rgb = last.toRgb(&error);
        if (rgb && writePng(options_.pngPath, *rgb, error)) {
            report.pngPath = options_.pngPath;
        } else {
            report.pngError = error;
        }
    }
    return report;
}

int exitStatus(const Report& report, const Options& options) {
    if (report.violationCount > 0) return 1;
    if (options.expectFrames && report.totals.decoded == 0) return 3;
    return 0;
}

}  // namespace panelora::tabletsim
