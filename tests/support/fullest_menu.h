// The menu's state with every row it can show, for the menu model's and the tray menu's tests.
#pragma once

#include "app/menu_model.h"

namespace panelora::test {

// Every menu row shown: streaming with statistics, both permissions missing.
inline MenuState fullestMenuState() {
    MenuState state;
    state.status = "Streaming 2732\u00D72048 @ 60 fps \u00B7 looks like 1708\u00D71280";
    state.statsLine = "60 fps \u00B7 12 Mbps";
    state.canArrange = true;
    state.screenRecordingAllowed = false;
    state.accessibilityAllowed = false;
    state.space = 125;
    state.preferSmooth = true;
    state.launchAtLogin = true;
    state.version = "0.1.0";
    return state;
}

}  // namespace panelora::test
