// How the status item's NSMenu shows the core's menu model: one entry per NSMenuItem, top to
// bottom. An AppKit menu has no inline picker or toggle of its own, so each picker becomes a
// disabled caption row followed by one checkmarked, indented item per option, and the toggle a
// checkmarked item. The status and caption rows are disabled items; Quit has Command-Q.
//
// Plain values, built and compared on the main queue by the status menu.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/menu_model.h"

namespace panelora {

struct MenuEntry {
    enum class Kind { item, separator };
    enum class Style { plain, caption };  // caption: the small menu font

    Kind kind = Kind::item;
    std::string title;
    Style style = Style::plain;
    bool enabled = false;
    bool checked = false;
    int indentation = 0;
    std::string keyEquivalent;  // e.g. "q"; empty: none
    bool commandModifier = false;
    // What choosing the entry does: performMenuAction(item, choiceValue(entry)).
    MenuItem item = MenuItem::separator;
    std::optional<int64_t> tag;  // a picker option's tag
    bool toggles = false;        // the toggle: choosing it asks for the opposite of `checked`

    bool operator==(const MenuEntry&) const = default;
};

std::vector<MenuEntry> planMenu(const std::vector<MenuRow>& rows);

// The value performMenuAction() takes for a chosen entry.
std::optional<int64_t> choiceValue(const MenuEntry& entry);

// True when `next` can be shown by retitling, re-checking and re-enabling the items that show
// `current`: as many entries, each of the same kind, action and key equivalent. An open menu is
// updated so; otherwise it is rebuilt.
bool canUpdateInPlace(const std::vector<MenuEntry>& current, const std::vector<MenuEntry>& next);

}  // namespace panelora
