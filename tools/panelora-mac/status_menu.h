// The menu bar item: an NSStatusItem with the "ipad.landscape" template symbol whose NSMenu is
// rendered from the core's menu model (buildMenu, then planMenu for AppKit). It follows the
// Controller: every change is shown at once, in place while the shape of the menu stays the same
// (so an open menu does not flicker), by rebuilding the items otherwise. Just before the menu
// opens it is refreshed with the launch-at-login state read afresh from the system. Chosen items
// go to performMenuAction() on the main queue, after the menu's own event handling.
//
// Main thread only.
#pragma once

#include <memory>

#include "app/controller.h"
#include "app/menu_model.h"

namespace panelora {

class StatusMenu {
  public:
    using Targets = MenuFrontEndTargets;

    StatusMenu(std::shared_ptr<Controller> controller, Targets targets);
    // Removes the item from the menu bar and stops following the Controller.
    ~StatusMenu();
    StatusMenu(const StatusMenu&) = delete;
    StatusMenu& operator=(const StatusMenu&) = delete;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace panelora
