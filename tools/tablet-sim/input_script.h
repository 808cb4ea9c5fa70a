// The scripted input a simulated tablet sends: touches, keys, scrolls and key-frame requests, each
// at a time in milliseconds since the connection was accepted. Pure parsing; the simulator sends.
//
// Syntax: statements separated by newlines or ';'; '#' starts a comment that runs to the end of
// the line; blank statements are skipped. Every statement is
//
//     at MS ACTION
//
// with MS a non-negative integer and ACTION one of
//
//     touch PHASE X Y          PHASE: down, drag, up, secondary, hover, or 0 to 4; X, Y floats
//                              (normalised; values outside 0 to 1, nan and inf are sent as given)
//     key USAGE down|up [MOD…] USAGE: HID usage, decimal or 0x hex, 0 to 65535; MOD: shift,
//                              control (ctrl), option (alt), command (cmd), capslock
//     scroll DX DY             floats, pointer pixels
//     keyrequest               a key-frame request with an empty payload
//
// Words are case-insensitive. Statements may come in any order; they are sent sorted by time,
// statements with the same time in the order written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.h"

namespace panelora::tabletsim {

struct ScriptEvent {
    int64_t atMs = 0;
    Wire::PacketType type = Wire::PacketType::keyRequest;
    std::vector<uint8_t> payload;  // the packet's payload, laid out as the wire wants it
    std::string text;              // the statement as written, for logs

    bool operator==(const ScriptEvent&) const = default;
};

struct ScriptError {
    size_t line = 0;        // 1-based line of the text
    std::string statement;  // the offending statement, trimmed
    std::string message;

    // "line 3: unknown action 'tuch' in \"at 100 tuch down 0 0\""
    std::string describe() const;
};

struct ParsedScript {
    std::vector<ScriptEvent> events;  // sorted by time (stable)
    std::vector<ScriptError> errors;  // every bad statement; events holds only the good ones

    bool ok() const { return errors.empty(); }
};

ParsedScript parseInputScript(std::string_view text);

}  // namespace panelora::tabletsim
