// Raw values that AppKit and ServiceManagement answer with, in the core's terms.
#pragma once

#include <cstddef>
#include <optional>

#include "app/launch_at_login.h"

namespace panelora::appkit {

inline constexpr long kAlertFirstButtonReturn = 1000;  // NSAlertFirstButtonReturn

// The index of the button a modal response stands for (the first button answers 1000, the
// second 1001, …); nothing for any other response (the alert was ended another way).
std::optional<size_t> chosenButton(long response, size_t buttonCount);

// SMAppServiceStatus (0 not registered, 1 enabled, 2 requires approval, 3 not found) as the
// toggle's status; a value the framework may add later counts as not found.
LoginItemBackend::Status loginItemStatus(long raw);

}  // namespace panelora::appkit
