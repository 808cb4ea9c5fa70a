#include "input_script.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <optional>

#include "protocol/byte_order.h"

namespace panelora::tabletsim {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> words(std::string_view s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        size_t j = i;
        while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j])))
            ++j;
        if (j > i) out.emplace_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

std::optional<uint64_t> parseUnsigned(const std::string& word, uint64_t max) {
    int base = 10;
    std::string_view digits = word;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (ec != std::errc() || end != digits.data() + digits.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<float> parseFloat(const std::string& word) {
    if (word.empty()) return std::nullopt;
    char* end = nullptr;
    const float value = std::strtof(word.c_str(), &end);
    if (end != word.c_str() + word.size()) return std::nullopt;
    return value;
}

std::optional<uint8_t> parsePhase(const std::string& word) {
    static constexpr std::string_view names[] = {"down", "drag", "up", "secondary", "hover"};
    for (uint8_t i = 0; i < 5; ++i) {
        if (word == names[i]) return i;
    }
    if (word == "secondaryclick") return 3;
    if (const auto n = parseUnsigned(word, 4)) return static_cast<uint8_t>(*n);
    return std::nullopt;
}

std::optional<uint8_t> parseModifier(const std::string& word) {
    if (word == "shift") return KeyEvent::Modifiers::shift.rawValue;
    if (word == "control" || word == "ctrl") return KeyEvent::Modifiers::control.rawValue;
    if (word == "option" || word == "alt") return KeyEvent::Modifiers::option.rawValue;
    if (word == "command" || word == "cmd") return KeyEvent::Modifiers::command.rawValue;
    if (word == "capslock") return KeyEvent::Modifiers::capsLock.rawValue;
    return std::nullopt;
}

// Fills `event` from the words after "at MS"; returns an error message or nothing.
std::optional<std::string> parseAction(const std::vector<std::string>& w, ScriptEvent& event) {
    const std::string action = lower(w[2]);
    const size_t args = w.size() - 3;
    auto argumentCount = [&](size_t expected) -> std::optional<std::string> {
        if (args == expected) return std::nullopt;
        return "'" + action + "' takes " + std::to_string(expected) + " arguments, got " +
               std::to_string(args);
    };

    if (action == "touch") {
        if (auto e = argumentCount(3)) return e;
        const auto phase = parsePhase(lower(w[3]));
        if (!phase) return "bad touch phase '" + w[3] + "' (down, drag, up, secondary, hover)";
        const auto x = parseFloat(w[4]);
        const auto y = parseFloat(w[5]);
        if (!x || !y) return "bad touch coordinates '" + w[4] + " " + w[5] + "'";
        event.type = Wire::PacketType::touch;
        event.payload.push_back(*phase);
        appendF32BE(event.payload, *x);
        appendF32BE(event.payload, *y);
        return std::nullopt;
    }
    if (action == "key") {
        if (args < 2) return std::string("'key' takes a usage, down or up, and modifiers");
        const auto usage = parseUnsigned(w[3], 0xFFFF);
        if (!usage) return "bad key usage '" + w[3] + "' (0 to 65535)";
        const std::string direction = lower(w[4]);
        if (direction != "down" && direction != "up") {
            return "bad key direction '" + w[4] + "' (down or up)";
        }
        uint8_t modifiers = 0;
        for (size_t i = 5; i < w.size(); ++i) {
            const auto m = parseModifier(lower(w[i]));
            if (!m) return "unknown modifier '" + w[i] + "'";
            modifiers |= *m;
        }
        event.type = Wire::PacketType::key;
        appendU16BE(event.payload, static_cast<uint16_t>(*usage));
        event.payload.push_back(direction == "down" ? 1 : 0);
        event.payload.push_back(modifiers);
        return std::nullopt;
    }
    if (action == "scroll") {
        if (auto e = argumentCount(2)) return e;
        const auto dx = parseFloat(w[3]);
        const auto dy = parseFloat(w[4]);
        if (!dx || !dy) return "bad scroll deltas '" + w[3] + " " + w[4] + "'";
        event.type = Wire::PacketType::scroll;
        appendF32BE(event.payload, *dx);
        appendF32BE(event.payload, *dy);
        return std::nullopt;
    }
    if (action == "keyrequest") {
        if (auto e = argumentCount(0)) return e;
        event.type = Wire::PacketType::keyRequest;
        return std::nullopt;
    }
    return "unknown action '" + w[2] + "'";
}

}  // namespace

std::string ScriptError::describe() const {
    return "line " + std::to_string(line) + ": " + message + " in \"" + statement + "\"";
}

ParsedScript parseInputScript(std::string_view text) {
    ParsedScript result;
    size_t lineNumber = 0;
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
        ++lineNumber;
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        size_t start = 0;
        while (start <= line.size()) {
            size_t end = line.find(';', start);
            if (end == std::string_view::npos) end = line.size();
            const std::string_view statement = trim(line.substr(start, end - start));
            start = end + 1;
            if (statement.empty()) continue;

            const auto w = words(statement);
            ScriptEvent event;
            event.text = std::string(statement);
            std::optional<std::string> error;
            std::optional<uint64_t> at;
            if (w.size() < 3 || lower(w[0]) != "at") {
                error = "expected 'at MS ACTION'";
            } else if (!(at = parseUnsigned(w[1], uint64_t{1} << 40))) {
                error = "bad time '" + w[1] + "' (milliseconds, a non-negative integer)";
            } else {
                event.atMs = static_cast<int64_t>(*at);
                error = parseAction(w, event);
            }
            if (error) {
                result.errors.push_back({lineNumber, std::string(statement), *error});
            } else {
                result.events.push_back(std::move(event));
            }
        }
        lineStart = lineEnd + 1;
    }
    std::stable_sort(result.events.begin(), result.events.end(),
                     [](const ScriptEvent& a, const ScriptEvent& b) { return a.atMs < b.atMs; });
    return result;
}

}  // namespace panelora::tabletsim
