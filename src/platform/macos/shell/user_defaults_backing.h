// The settings kept in the application's standard user defaults, under the keys "space",
// "preferSmooth" and "displayArrangement" (see portable/defaults_document.h), instead of a file.
//
// Any thread (NSUserDefaults is thread-safe); the store calls it one call at a time.
#pragma once

#include "support/settings_store.h"

namespace panelora {

class UserDefaultsBacking final : public SettingsStore::Backing {
  public:
    std::optional<std::string> load() override;
    bool save(const std::string& document) override;
};

}  // namespace panelora
