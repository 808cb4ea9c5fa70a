// The application's fixed identity.
#pragma once

namespace panelora {

inline constexpr const char* kAppName = "Panelora";
// Reverse-DNS identifier: the logging subsystem, the single-instance key, the autostart entry name.
inline constexpr const char* kAppIdentifier = "app.panelora.Panelora";

}  // namespace panelora
