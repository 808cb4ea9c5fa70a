#include "platform/macos/portable/defaults_document.h"

#include <nlohmann/json.hpp>

namespace panelora::defaults {

std::string documentFrom(const Values& values) {
    nlohmann::json document = nlohmann::json::object();
    if (values.space) document[kSpaceKey] = *values.space;
    if (values.preferSmooth) document[kPreferSmoothKey] = *values.preferSmooth;
    if (values.displayArrangement) {
        auto record = nlohmann::json::parse(values.displayArrangement->begin(),
                                            values.displayArrangement->end(), nullptr,
                                            /*allow_exceptions=*/false);
        if (!record.is_discarded()) document[kDisplayArrangementKey] = std::move(record);
    }
    return document.dump();
}

Values valuesFrom(std::string_view text) {
    Values values;
    const auto document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return values;
    if (auto it = document.find(kSpaceKey); it != document.end() && it->is_number_integer()) {
        // A count above the signed range is not a setting anyone chose.
        if (!it->is_number_unsigned() || it->get<uint64_t>() <= uint64_t(INT64_MAX)) {
            values.space = it->get<int64_t>();
        }
    }
    if (auto it = document.find(kPreferSmoothKey); it != document.end() && it->is_boolean()) {
        values.preferSmooth = it->get<bool>();
    }
    if (auto it = document.find(kDisplayArrangementKey); it != document.end()) {
        const std::string record = it->dump();
        values.displayArrangement = std::vector<uint8_t>(record.begin(), record.end());
    }
    return values;
}

}  // namespace panelora::defaults
