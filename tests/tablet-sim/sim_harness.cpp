#include "sim_harness.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "protocol/byte_order.h"
#include "protocol/wire.h"

extern char** environ;

namespace panelora::testing {

namespace {

// Splits an Annex B stream at its start codes; trailing zero bytes belong to no NAL unit.
std::vector<std::vector<uint8_t>> splitAnnexB(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> units;
    size_t i = 0;
    auto startCodeAt = [&](size_t p) {
        return p + 3 <= size && data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 1;
    };
    while (i < size && !startCodeAt(i))
        ++i;
    while (i < size) {
        i += 3;
        size_t end = i;
        while (end < size && !startCodeAt(end))
            ++end;
        size_t last = end;
        while (last > i && data[last - 1] == 0)
            --last;
        if (last > i) units.emplace_back(data + i, data + last);
        i = end;
    }
    return units;
}

}  // namespace

TestEncoder::TestEncoder(int width, int height) {
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) throw std::runtime_error("no libx264 encoder");
    context_ = avcodec_alloc_context3(codec);
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->time_base = {1, 60};
    context_->framerate = {60, 1};
    context_->gop_size = 600;
    context_->max_b_frames = 0;
    context_->thread_count = 1;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context_->priv_data, "forced-idr", "1", 0);
    if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("libx264 open");
    frame_ = av_frame_alloc();
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_, 0) < 0) throw std::runtime_error("frame buffer");
    packet_ = av_packet_alloc();
}

TestEncoder::~TestEncoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

EncodedFrame TestEncoder::encode(uint8_t r, uint8_t g, uint8_t b, bool forceKey) {
    const double R = r, G = g, B = b;
    const auto y = uint8_t(16 + (65.481 * R + 128.553 * G + 24.966 * B) / 255 + 0.5);
    const auto u = uint8_t(128 + (-37.797 * R - 74.203 * G + 112.0 * B) / 255 + 0.5);
    const auto v = uint8_t(128 + (112.0 * R - 93.786 * G - 18.214 * B) / 255 + 0.5);
    if (av_frame_make_writable(frame_) < 0) throw std::runtime_error("frame writable");
    for (int row = 0; row < frame_->height; ++row) {
        std::memset(frame_->data[0] + row * frame_->linesize[0], y, frame_->width);
    }
    for (int row = 0; row < frame_->height / 2; ++row) {
        std::memset(frame_->data[1] + row * frame_->linesize[1], u, frame_->width / 2);
        std::memset(frame_->data[2] + row * frame_->linesize[2], v, frame_->width / 2);
    }
    return encodeCurrent(forceKey);
}

EncodedFrame TestEncoder::encodeNoise(uint32_t seed) {
    if (av_frame_make_writable(frame_) < 0) throw std::runtime_error("frame writable");
    std::mt19937 noise(seed);
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane == 0 ? frame_->width : frame_->width / 2;
        const int h = plane == 0 ? frame_->height : frame_->height / 2;
        for (int row = 0; row < h; ++row) {
            for (int col = 0; col < w; ++col) {
                frame_->data[plane][row * frame_->linesize[plane] + col] = uint8_t(noise());
            }
        }
    }
    return encodeCurrent(true);
}

EncodedFrame TestEncoder::encodeCurrent(bool forceKey) {
    frame_->pts = next_++;
    frame_->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(context_, frame_) < 0) throw std::runtime_error("send_frame");
    if (avcodec_receive_packet(context_, packet_) < 0) throw std::runtime_error("receive_packet");

    EncodedFrame out;
    for (auto& nal : splitAnnexB(packet_->data, size_t(packet_->size))) {
        const uint8_t type = nal[0] & 0x1F;
        if (type == 7) {
            out.sps = std::move(nal);
        } else if (type == 8) {
            out.pps = std::move(nal);
        } else if (type != 9) {  // access unit delimiters stay out, as VideoToolbox leaves them
            if (type == 5) out.isKey = true;
            appendU32BE(out.avcc, uint32_t(nal.size()));
            out.avcc.insert(out.avcc.end(), nal.begin(), nal.end());
        }
    }
    av_packet_unref(packet_);
    return out;
}

std::vector<uint8_t> wireBytes(const EncodedFrame& frame, uint64_t ptsMicros) {
    std::vector<uint8_t> out;
    if (frame.isKey && !frame.sps.empty() && !frame.pps.empty()) {
        out = *Wire::configPacket(frame.sps, frame.pps);
    }
    const auto packet = Wire::framePacket(frame.isKey, ptsMicros, frame.avcc);
    out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all = {TABLET_SIM_PATH, "--port", "0"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, TABLET_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    stdout_ = pipeFds[0];
    if (rc != 0) throw std::runtime_error("posix_spawn");

    // "tablet-sim: listening on 127.0.0.1:PORT\n"
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        pollfd p{stdout_, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline || ::poll(&p, 1, 100) < 0) break;
        if (!(p.revents & (POLLIN | POLLHUP))) continue;
        char c;
        if (::read(stdout_, &c, 1) != 1) break;
        line += c;
    }
    const size_t colon = line.rfind(':');
    if (line.find("listening on 127.0.0.1:") == std::string::npos || colon == std::string::npos) {
        throw std::runtime_error("tablet-sim did not start: '" + line + "'");
    }
    port_ = uint16_t(std::stoi(line.substr(colon + 1)));
}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
}

std::optional<int> SimProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(stdout_, buffer, sizeof buffer)) > 0)
        output_.append(buffer, size_t(n));
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

int SimProcess::connect() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("connect");
    }
    return fd;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace panelora::testing
