#include "platform/macos/shell/main_app_login_item.h"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

#include "platform/macos/portable/appkit_values.h"

namespace panelora {
namespace {

static_assert(static_cast<long>(LoginItemBackend::Status::enabled) == SMAppServiceStatusEnabled);
static_assert(static_cast<long>(LoginItemBackend::Status::requiresApproval) ==
              SMAppServiceStatusRequiresApproval);
static_assert(static_cast<long>(LoginItemBackend::Status::notFound) == SMAppServiceStatusNotFound);

std::optional<std::string> failure(BOOL succeeded, NSError* error) {
    if (succeeded) return std::nullopt;
    const char* text = error.localizedDescription.UTF8String;
    return std::string(text ? text : "unknown error");
}

}  // namespace

std::optional<std::string> MainAppLoginItem::registerApp() {
    NSError* error = nil;
    const BOOL done = [[SMAppService mainAppService] registerAndReturnError:&error];
    return failure(done, error);
}

std::optional<std::string> MainAppLoginItem::unregisterApp() {
    NSError* error = nil;
    const BOOL done = [[SMAppService mainAppService] unregisterAndReturnError:&error];
    return failure(done, error);
}

LoginItemBackend::Status MainAppLoginItem::status() {
    return appkit::loginItemStatus(static_cast<long>([SMAppService mainAppService].status));
}

}  // namespace panelora
