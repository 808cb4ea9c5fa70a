#include "platform/macos/shell/mac_process_activity.h"

#import <Foundation/Foundation.h>

#include "platform/macos/ns_text.h"

namespace panelora {
namespace {

// Made in place and never copied: its end is the activity's end.
struct Activity {
    id<NSObject> token;
    ~Activity() { [[NSProcessInfo processInfo] endActivity:token]; }
};

}  // namespace

std::shared_ptr<void> MacProcessActivity::begin(const char* reason) {
    id<NSObject> token = [[NSProcessInfo processInfo]
        beginActivityWithOptions:NSActivityIdleDisplaySleepDisabled | NSActivityUserInitiated |
                                 NSActivityLatencyCritical
                          reason:nsText(reason)];
    if (!token) return nullptr;
    auto activity = std::make_shared<Activity>();
    activity->token = token;
    return activity;
}

}  // namespace panelora
