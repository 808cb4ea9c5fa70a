// The process activity held while a session streams: NSProcessInfo's activity assertion, user
// initiated with idle display sleep disabled too (the tablet shows the display: neither it nor
// the Mac may sleep while nobody touches the Mac), and latency critical, so that App Nap and
// timer coalescing leave the streaming threads alone. The token ends the activity when it goes.
//
// Any thread.
#pragma once

#include "session/session_environment.h"

namespace panelora {

class MacProcessActivity final : public ProcessActivity {
  public:
    std::shared_ptr<void> begin(const char* reason) override;
};

}  // namespace panelora
