#include "platform/macos/video/mac_virtual_display.h"

#import "platform/macos/video/cg_virtual_display_api.h"

#include "platform/macos/ns_text.h"

namespace panelora {
namespace {

class MacVirtualDisplay final : public PlatformVirtualDisplay {
  public:
    explicit MacVirtualDisplay(CGVirtualDisplay* display) : display_(display) {}

    bool applySettings(const VirtualDisplaySettings& settings) override {
        NSMutableArray<CGVirtualDisplayMode*>* modes = [NSMutableArray array];
        for (const VirtualDisplayMode& mode : settings.modes) {
            [modes addObject:[[CGVirtualDisplayMode alloc] initWithWidth:mode.width
                                                                  height:mode.height
                                                             refreshRate:mode.refreshRate]];
        }
        CGVirtualDisplaySettings* platformSettings = [[CGVirtualDisplaySettings alloc] init];
        platformSettings.hiDPI = settings.hiDPI ? 1 : 0;
        platformSettings.modes = modes;
        return [display_ applySettings:platformSettings];
    }

    DisplayID displayID() const override { return display_.displayID; }

  private:
    // The last reference: when it goes, the window server removes the display.
    CGVirtualDisplay* display_;
};

}  // namespace

std::unique_ptr<PlatformVirtualDisplay> MacVirtualDisplayBackend::create(
    const VirtualDisplayDescriptor& descriptor) {
    CGVirtualDisplayDescriptor* platformDescriptor = [[CGVirtualDisplayDescriptor alloc] init];
    platformDescriptor.name = nsText(descriptor.name);
    platformDescriptor.maxPixelsWide = descriptor.maxPixelsWide;
    platformDescriptor.maxPixelsHigh = descriptor.maxPixelsHigh;
    platformDescriptor.sizeInMillimeters =
        CGSizeMake(descriptor.widthMillimeters, descriptor.heightMillimeters);
    platformDescriptor.productID = descriptor.productID;
    platformDescriptor.vendorID = descriptor.vendorID;
    platformDescriptor.serialNum = descriptor.serialNum;
    platformDescriptor.queue = dispatch_get_main_queue();
    // A display the window server ends shows up as the capture stopping.
    platformDescriptor.terminationHandler = ^(id, id) {
    };
    CGVirtualDisplay* display = [[CGVirtualDisplay alloc] initWithDescriptor:platformDescriptor];
    if (!display) return nullptr;
    return std::make_unique<MacVirtualDisplay>(display);
}

}  // namespace panelora
