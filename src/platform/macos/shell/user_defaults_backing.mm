#include "platform/macos/shell/user_defaults_backing.h"

#import <Foundation/Foundation.h>

#include "platform/macos/portable/defaults_document.h"

namespace panelora {

std::optional<std::string> UserDefaultsBacking::load() {
    NSUserDefaults* stored = [NSUserDefaults standardUserDefaults];
    defaults::Values values;
    id space = [stored objectForKey:@(defaults::kSpaceKey)];
    if ([space isKindOfClass:[NSNumber class]]) values.space = [(NSNumber*)space longLongValue];
    id smooth = [stored objectForKey:@(defaults::kPreferSmoothKey)];
    if ([smooth isKindOfClass:[NSNumber class]])
        values.preferSmooth = [(NSNumber*)smooth boolValue];
    id arrangement = [stored objectForKey:@(defaults::kDisplayArrangementKey)];
    if ([arrangement isKindOfClass:[NSData class]]) {
        NSData* data = arrangement;
        const auto* bytes = static_cast<const uint8_t*>(data.bytes);
        values.displayArrangement = std::vector<uint8_t>(bytes, bytes + data.length);
    }
    if (values == defaults::Values{}) return std::nullopt;
    return defaults::documentFrom(values);
}

bool UserDefaultsBacking::save(const std::string& document) {
    NSUserDefaults* stored = [NSUserDefaults standardUserDefaults];
    const defaults::Values values = defaults::valuesFrom(document);
    if (values.space) {
        [stored setInteger:static_cast<NSInteger>(*values.space) forKey:@(defaults::kSpaceKey)];
    }
    if (values.preferSmooth) {
        [stored setBool:*values.preferSmooth forKey:@(defaults::kPreferSmoothKey)];
    }
    if (values.displayArrangement) {
        NSData* data = [NSData dataWithBytes:values.displayArrangement->data()
                                      length:values.displayArrangement->size()];
        [stored setObject:data forKey:@(defaults::kDisplayArrangementKey)];
    }
    return true;
}

}  // namespace panelora
