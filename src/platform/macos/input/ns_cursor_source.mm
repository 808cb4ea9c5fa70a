#include "platform/macos/input/ns_cursor_source.h"

#import <AppKit/AppKit.h>
#include <CoreGraphics/CoreGraphics.h>

#include "platform/macos/cf_ref.h"
#include "support/log.h"

namespace panelora {
namespace {

std::optional<std::vector<uint8_t>> encodePng(CGImageRef picture) {
    NSBitmapImageRep* bitmap = [[NSBitmapImageRep alloc] initWithCGImage:picture];
    NSData* png = [bitmap representationUsingType:NSBitmapImageFileTypePNG properties:@{}];
    if (!png) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(png.bytes);
    return std::vector<uint8_t>(bytes, bytes + png.length);
}

std::optional<PlatformCursor> describe(NSCursor* shown, std::shared_ptr<cursor::PngCache> cache) {
    if (!shown) return std::nullopt;
    NSImage* image = shown.image;
    PlatformCursor described;
    described.width = image.size.width;
    described.height = image.size.height;
    described.hotSpot = Point{shown.hotSpot.x, shown.hotSpot.y};
    described.png = [image, cache]() -> std::optional<std::vector<uint8_t>> {
        CGImageRef picture = [image CGImageForProposedRect:nullptr context:nil hints:nil];
        if (!picture) return std::nullopt;
        // The pixels decide whether the kept PNG still serves: AppKit may hand out a new NSCursor
        // and image for an unchanged cursor, so their identity says little.
        CFRef<CFDataRef> pixels(CGDataProviderCopyData(CGImageGetDataProvider(picture)));
        if (!pixels) return encodePng(picture);
        const cursor::Bitmap bitmap{
            CGImageGetWidth(picture), CGImageGetHeight(picture), CGImageGetBytesPerRow(picture),
            CGImageGetBitsPerPixel(picture),
            std::span<const uint8_t>(CFDataGetBytePtr(pixels.get()),
                                     static_cast<size_t>(CFDataGetLength(pixels.get())))};
        return cache->png(bitmap, [picture] { return encodePng(picture); });
    };
    return described;
}

}  // namespace

std::optional<Point> NSCursorSource::location() {
    CFRef<CGEventRef> event(CGEventCreate(nullptr));
    if (!event) return std::nullopt;
    const CGPoint point = CGEventGetLocation(event.get());
    return Point{point.x, point.y};
}

std::optional<PlatformCursor> NSCursorSource::currentSystemCursor() {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    NSCursor* cursor = [NSCursor currentSystemCursor];
#pragma clang diagnostic pop
    if (!cursor) {
        if (!toldNoSystemCursor_.exchange(true)) {
            log::get("cursor")->warn(
                "{}",
                "the system cursor cannot be read on this macOS; the tablet is sent the arrow");
        }
        cursor = [NSCursor arrowCursor];
    }
    return describe(cursor, pngCache_);
}

std::optional<PlatformCursor> NSCursorSource::arrowCursor() {
    return describe([NSCursor arrowCursor], pngCache_);
}

}  // namespace panelora
