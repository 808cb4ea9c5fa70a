#pragma once

// What the client makes of the daemon's reply dictionaries: anything it does not understand reads
// as no devices or a refused connection.

#include <plist/plist.h>

#include <vector>

#include "transport/usbmux_client.h"

namespace panelora::USBMux {

// The USB devices of a ListDevices reply, in its order. One malformed element makes the whole
// list untrustworthy (empty); entries of other connection types are skipped. Null: no reply.
std::vector<Device> devicesInReply(plist_t reply);

// True when a Connect reply says "Number" 0.
bool connectAccepted(plist_t reply);

}  // namespace panelora::USBMux
