// The settings document of SettingsStore as the user defaults keep it, under the application's
// keys: "space" an integer, "preferSmooth" a boolean and "displayArrangement" the placement
// record's JSON text as a data value. Members of the document without such a key are not kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace panelora::defaults {

inline constexpr const char* kSpaceKey = "space";
inline constexpr const char* kPreferSmoothKey = "preferSmooth";
inline constexpr const char* kDisplayArrangementKey = "displayArrangement";

struct Values {
    std::optional<int64_t> space;
    std::optional<bool> preferSmooth;
    std::optional<std::vector<uint8_t>> displayArrangement;  // UTF-8 JSON text
    bool operator==(const Values&) const = default;
};

// The document the store reads (a JSON object text); a data value that is not JSON is left out.
std::string documentFrom(const Values& values);

// What the user defaults are to hold for a document the store saves; members of another type
// than their key's, and a document that is not a JSON object, give nothing for them.
Values valuesFrom(std::string_view document);

}  // namespace panelora::defaults
