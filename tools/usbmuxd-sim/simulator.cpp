#include "simulator.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "transport/plist_message.h"
#include "transport/socket_io.h"

namespace panelora::sim {

using USBMux::Plist;
using USBMux::PlistFormat;

namespace {

constexpr size_t kRelayBufferSize = 256 * 1024;
constexpr uint64_t kUsbConnectionSpeed = 480000000;
constexpr uint64_t kProductID = 0x12a8;

// usbmuxd's result codes.
constexpr uint64_t kResultOk = 0;
constexpr uint64_t kResultBadCommand = 1;
constexpr uint64_t kResultBadDevice = 2;
constexpr uint64_t kResultRefused = 3;

std::optional<std::pair<std::string, uint16_t>> splitHostPort(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long port = std::stoul(portText);
    if (port == 0 || port > 65535) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return std::make_pair(host, static_cast<uint16_t>(port));
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

Plist resultMessage(uint64_t number) {
    Plist reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(reply.get(), "Number", plist_new_uint(number));
    return reply;
}

int64_t deviceIDAt(size_t index) {
    return static_cast<int64_t>(index) + 1;
}

// The properties the daemon reports for each connection type, as client libraries expect them.
Plist deviceProperties(const SimDevice& device, int64_t id) {
    Plist props(plist_new_dict());
    plist_t p = props.get();
    plist_dict_set_item(p, "ConnectionType", plist_new_string(device.connectionType.c_str()));
    if (device.stringID) {
        plist_dict_set_item(p, "DeviceID", plist_new_string(std::to_string(id).c_str()));
    } else {
        plist_dict_set_item(p, "DeviceID", plist_new_uint(static_cast<uint64_t>(id)));
    }
    if (!device.omitSerial) {
        plist_dict_set_item(p, "SerialNumber", plist_new_string(device.serial.c_str()));
    }
    if (device.connectionType == "USB") {
        plist_dict_set_item(p, "ConnectionSpeed", plist_new_uint(kUsbConnectionSpeed));
        plist_dict_set_item(p, "LocationID", plist_new_uint(static_cast<uint64_t>(id) << 16));
        plist_dict_set_item(p, "ProductID", plist_new_uint(kProductID));
        if (!device.omitSerial) {
            plist_dict_set_item(p, "USBSerialNumber", plist_new_string(device.serial.c_str()));
        }
    } else {
        // A BSD-style sockaddr_in (length byte first), as the network daemon reports it.
        uint8_t address[16] = {16, AF_INET};
        // Clients reach network devices directly at this address, not through the daemon.
        in_addr ipv4{};
        if (inet_pton(AF_INET, device.targetHost.c_str(), &ipv4) != 1) {
            inet_pton(AF_INET, "127.0.0.1", &ipv4);
        }
        std::memcpy(address + 4, &ipv4, 4);
        plist_dict_set_item(p, "NetworkAddress",
                            plist_new_data(reinterpret_cast<const char*>(address), sizeof address));
        plist_dict_set_item(p, "InterfaceIndex", plist_new_uint(1));
        const std::string service = device.serial + "._apple-mobdev2._tcp.local";
        plist_dict_set_item(p, "EscapedFullServiceName", plist_new_string(service.c_str()));
    }
    return props;
}

Plist deviceEntry(const SimDevice& device, int64_t id, const char* messageType) {
    Plist entry(plist_new_dict());
    if (device.stringID) {
        plist_dict_set_item(entry.get(), "DeviceID", plist_new_string(std::to_string(id).c_str()));
    } else {
        plist_dict_set_item(entry.get(), "DeviceID", plist_new_uint(static_cast<uint64_t>(id)));
    }
    plist_dict_set_item(entry.get(), "MessageType", plist_new_string(messageType));
    plist_dict_set_item(entry.get(), "Properties", deviceProperties(device, id).release());
    return entry;
}

}  // namespace

std::optional<SimConfig> parseArguments(const std::vector<std::string>& args, std::string& error) {
    SimConfig config;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--socket" && hasValue) {
            config.socketPath = args[++i];
        } else if (arg == "--device" && hasValue) {
            const std::vector<std::string> parts = splitCommas(args[++i]);
            if (parts.size() < 3) {
                error = "--device needs SERIAL,TYPE,HOST:PORT: " + args[i];
                return std::nullopt;
            }
            SimDevice device;
            device.serial = parts[0];
            device.connectionType = parts[1];
            const auto target = splitHostPort(parts[2]);
            if (device.connectionType.empty() || !target) {
                error = "bad device description: " + args[i];
                return std::nullopt;
            }
            device.targetHost = target->first;
            device.targetPort = target->second;
            for (size_t f = 3; f < parts.size(); ++f) {
                if (parts[f] == "no-serial") {
                    device.omitSerial = true;
                } else if (parts[f] == "string-id") {
                    device.stringID = true;
                } else {
                    error = "unknown device flag: " + parts[f];
                    return std::nullopt;
                }
            }
            config.devices.push_back(std::move(device));
        } else if (arg == "--verbose" || arg == "-v") {
            config.verbose = true;
        } else {
            error = "unknown or incomplete argument: " + arg;
            return std::nullopt;
        }
    }
    if (config.socketPath.empty()) {
        error = "--socket PATH is required";
        return std::nullopt;
    }
    sockaddr_un probe{};
    if (config.socketPath.size() >= sizeof probe.sun_path) {
        error = "socket path too long: " + config.socketPath;
        return std::nullopt;
    }
    return config;
}

Simulator::Simulator(SimConfig config) : config_(std::move(config)) {}

Simulator::~Simulator() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(config_.socketPath.c_str());
    }
}

void Simulator::log(const std::string& line) const {
    if (config_.verbose) std::fprintf(stderr, "usbmuxd-sim: %s\n", line.c_str());
}

bool Simulator::bind() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, config_.socketPath.data(), config_.socketPath.size());
    const auto* sa = reinterpret_cast<const sockaddr*>(&address);

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        std::perror("usbmuxd-sim: socket");
        return false;
    }
    // A live daemon on this path is left alone; a stale socket file is replaced.
    {
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && ::connect(probe.get(), sa, sizeof address) == 0) {
            std::fprintf(stderr, "usbmuxd-sim: %s is in use by another daemon\n",
                         config_.socketPath.c_str());
            return false;
        }
    }
    ::unlink(config_.socketPath.c_str());
    if (::bind(fd.get(), sa, sizeof address) != 0) {
        std::perror("usbmuxd-sim: bind");
        return false;
    }
    ::chmod(config_.socketPath.c_str(), 0666);
    if (::listen(fd.get(), 128) != 0) {
        std::perror("usbmuxd-sim: listen");
        ::unlink(config_.socketPath.c_str());
        return false;
    }
    listenFd_ = fd.release();
    return true;
}

void Simulator::run(int stopFd) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    while (!stopping_) {
        // Reap the connection threads that have finished.
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->done) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
        const int ready = ::poll(fds, 2, 1000);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (fds[1].revents != 0) break;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        track(client);
        Worker& worker = workers_.emplace_back();
        worker.thread = std::thread([this, client, &worker] {
            serveClient(client);
            closeTracked(client);
            worker.done = true;
        });
    }
    shutdownAll();
    for (Worker& worker : workers_)
        worker.thread.join();
    workers_.clear();
}

void Simulator::track(int fd) {
    std::lock_guard lock(mutex_);
    open_.insert(fd);
    if (stopping_) ::shutdown(fd, SHUT_RDWR);  // raced with stop: end it at once
}

void Simulator::closeTracked(int fd) {
    std::lock_guard lock(mutex_);
    open_.erase(fd);
    ::close(fd);
}

void Simulator::shutdownAll() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : open_)
        ::shutdown(fd, SHUT_RDWR);
}

void Simulator::serveClient(int fd) {
    for (;;) {
        const auto message = USBMux::readRawMessage(fd);
        if (!message) return;
        const PlistFormat format =
            USBMux::isBinaryPlist(message->body) ? PlistFormat::binary : PlistFormat::xml;
        const uint32_t tag = message->header.tag;
        const Plist request = message->header.type == USBMux::plistMessageType
                                  ? USBMux::parseDictionary(message->body)
                                  : nullptr;
        if (!request) {
            log("unreadable request; closing");
            return;
        }
        const std::string type = USBMux::dictString(request.get(), "MessageType").value_or("");
        log("request " + type);

        if (type == "ListDevices") {
            Plist reply(plist_new_dict());
            plist_t list = plist_new_array();
            for (size_t i = 0; i < config_.devices.size(); ++i) {
                plist_array_append_item(
                    list, deviceEntry(config_.devices[i], deviceIDAt(i), "Attached").release());
            }
            plist_dict_set_item(reply.get(), "DeviceList", list);
            if (!USBMux::sendMessage(fd, reply.get(), tag, format)) return;
        } else if (type == "Listen") {
            if (!USBMux::sendMessage(fd, resultMessage(kResultOk).get(), tag, format)) return;
            for (size_t i = 0; i < config_.devices.size(); ++i) {
                const Plist event = deviceEntry(config_.devices[i], deviceIDAt(i), "Attached");
                if (!USBMux::sendMessage(fd, event.get(), 0, format)) return;
            }
            holdListener(fd);
            return;
        } else if (type == "ReadBUID") {
            Plist reply(plist_new_dict());
            plist_dict_set_item(reply.get(), "BUID",
                                plist_new_string("00000000-0000-0000-0000-000000000000"));
            if (!USBMux::sendMessage(fd, reply.get(), tag, format)) return;
        } else if (type == "Connect") {
            const auto id = USBMux::dictUnsigned(request.get(), "DeviceID");
            const auto portNumber = USBMux::dictUnsigned(request.get(), "PortNumber");
            const size_t index = id ? static_cast<size_t>(*id - 1) : config_.devices.size();
            if (!id || !portNumber || *id == 0 || index >= config_.devices.size()) {
                log("connect to unknown device");
                USBMux::sendMessage(fd, resultMessage(kResultBadDevice).get(), tag, format);
                return;
            }
            const SimDevice& device = config_.devices[index];
            const uint16_t port =
                static_cast<uint16_t>(((*portNumber & 0xff) << 8) | ((*portNumber >> 8) & 0xff));
            const int target = connectTarget(device);
            if (target < 0) {
                log("connect to device port " + std::to_string(port) + ": target refused");
                USBMux::sendMessage(fd, resultMessage(kResultRefused).get(), tag, format);
                return;
            }
            log("connect to device port " + std::to_string(port) + " -> " + device.targetHost +
                ":" + std::to_string(device.targetPort));
            if (USBMux::sendMessage(fd, resultMessage(kResultOk).get(), tag, format)) {
                relay(fd, target);
            }
            closeTracked(target);
            return;
        } else {
            if (!USBMux::sendMessage(fd, resultMessage(kResultBadCommand).get(), tag, format)) {
                return;
            }
        }
    }
}

int Simulator::connectTarget(const SimDevice& device) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(device.targetHost.c_str(), std::to_string(device.targetPort).c_str(), &hints,
                    &found) != 0) {
        return -1;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> results(found, freeaddrinfo);
    for (const addrinfo* ai = results.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd) continue;
        timeval timeout{3, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        int rc;
        do {
            rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) continue;
        timeout = {0, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const int one = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int target = fd.release();
        track(target);
        return target;
    }
    return -1;
}

void Simulator::relay(int clientFd, int targetFd) {
    // One direction per thread, so neither side's back-pressure stalls the other. A clean end
    // of stream is passed on as a half-close; an error tears down both directions.
    auto pump = [](int from, int to) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[kRelayBufferSize]);
        for (;;) {
            const ssize_t n = ::read(from, buffer.get(), kRelayBufferSize);
            if (n > 0) {
                if (writeAll(to, std::span<const uint8_t>(buffer.get(), static_cast<size_t>(n)))) {
                    continue;
                }
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n == 0) {
                ::shutdown(to, SHUT_WR);
                return;
            }
            ::shutdown(from, SHUT_RDWR);
            ::shutdown(to, SHUT_RDWR);
            return;
        }
    };
    std::thread upstream(pump, clientFd, targetFd);
    pump(targetFd, clientFd);
    upstream.join();
}

void Simulator::holdListener(int fd) {
    // A listening client only waits for events; none come after the initial ones.
    uint8_t sink[4096];
    for (;;) {
        const ssize_t n = ::read(fd, sink, sizeof sink);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        return;
    }
}

}  // namespace panelora::sim
