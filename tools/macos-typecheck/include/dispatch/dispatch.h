// Declarations mirroring <dispatch/dispatch.h> (queue.h, time.h, object.h), as much as the macOS
// sources use.
#pragma once

#include <os/object.h>
#include <stdint.h>
#include <sys/qos.h>

// <dispatch/object.h>
OS_OBJECT_DECL(dispatch_object);
typedef void (^dispatch_block_t)(void);

// <dispatch/queue.h>
OS_OBJECT_DECL_SUBCLASS(dispatch_queue, dispatch_object);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_global, dispatch_queue);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_serial, dispatch_queue);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_main, dispatch_queue_serial);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_attr, dispatch_object);
typedef qos_class_t dispatch_qos_class_t;

#define DISPATCH_QUEUE_SERIAL nullptr

extern "C" {

dispatch_queue_main_t dispatch_get_main_queue(void);
dispatch_queue_global_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr,
                                                              dispatch_qos_class_t qos_class,
                                                              int relative_priority);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);

// <dispatch/time.h>
typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);

}  // extern "C"
