#include "platform/macos/portable/menu_plan.h"

#include <cctype>

namespace panelora {
namespace {

MenuEntry entry(const MenuRow& row, MenuEntry::Style style, bool enabled) {
    MenuEntry e;
    e.title = row.text;
    e.style = style;
    e.enabled = enabled;
    e.item = row.item;
    return e;
}

}  // namespace

std::vector<MenuEntry> planMenu(const std::vector<MenuRow>& rows) {
    std::vector<MenuEntry> entries;
    for (const MenuRow& row : rows) {
        switch (row.kind) {
            case MenuRowKind::text:
                entries.push_back(entry(row, MenuEntry::Style::plain, false));
                break;
            case MenuRowKind::caption:
                entries.push_back(entry(row, MenuEntry::Style::caption, false));
                break;
            case MenuRowKind::separator: {
                MenuEntry separator;
                separator.kind = MenuEntry::Kind::separator;
                entries.push_back(separator);
                break;
            }
            case MenuRowKind::button: {
                MenuEntry button = entry(row, MenuEntry::Style::plain, true);
                if (row.shortcut) {
                    // The primary modifier is Command on macOS; key equivalents are lower case
                    // (an upper-case one would add Shift).
                    button.keyEquivalent = std::string(
                        1, static_cast<char>(
                               std::tolower(static_cast<unsigned char>(row.shortcut->key))));
                    button.commandModifier = row.shortcut->primaryModifier;
                }
                entries.push_back(std::move(button));
                break;
            }
            case MenuRowKind::picker: {
                entries.push_back(entry(row, MenuEntry::Style::caption, false));
                for (const MenuOption& option : row.options) {
                    MenuEntry choice;
                    choice.title = option.text;
                    choice.enabled = true;
                    choice.checked = row.selectedTag == option.tag;
                    choice.indentation = 1;
                    choice.item = row.item;
                    choice.tag = option.tag;
                    entries.push_back(std::move(choice));
                }
                break;
            }
            case MenuRowKind::toggle: {
                MenuEntry toggle = entry(row, MenuEntry::Style::plain, true);
                toggle.checked = row.checked;
                toggle.toggles = true;
                entries.push_back(std::move(toggle));
                break;
            }
        }
    }
    return entries;
}

std::optional<int64_t> choiceValue(const MenuEntry& entry) {
    if (entry.toggles) return entry.checked ? 0 : 1;
    return entry.tag;
}

bool canUpdateInPlace(const std::vector<MenuEntry>& current, const std::vector<MenuEntry>& next) {
    if (current.size() != next.size()) return false;
    for (size_t i = 0; i < current.size(); ++i) {
        const MenuEntry& a = current[i];
        const MenuEntry& b = next[i];
        if (a.kind != b.kind || a.item != b.item || a.tag != b.tag || a.toggles != b.toggles ||
            a.keyEquivalent != b.keyEquivalent || a.commandModifier != b.commandModifier) {
            return false;
        }
    }
    return true;
}

}  // namespace panelora
