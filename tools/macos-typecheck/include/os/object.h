// Declarations mirroring <os/object.h>: with Objective-C, the system's C objects (dispatch queues,
// log handles) are Objective-C objects that ARC retains and releases.
#pragma once

#include <objc/NSObject.h>

#define OS_OBJECT_DECL_PROTOCOL(name, ...) \
    @protocol OS_                          \
    ##name __VA_ARGS__ @end
#define OS_OBJECT_DECL(name) \
    OS_OBJECT_DECL_PROTOCOL(name, <NSObject>) typedef NSObject<OS_##name>* name##_t
#define OS_OBJECT_DECL_SUBCLASS(name, super) \
    OS_OBJECT_DECL_PROTOCOL(name, <OS_##super>) typedef NSObject<OS_##name>* name##_t
