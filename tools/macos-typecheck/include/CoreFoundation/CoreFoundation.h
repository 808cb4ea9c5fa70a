// Declarations mirroring <CoreFoundation/CoreFoundation.h>, as much as the macOS sources use.
#pragma once

#include <MacTypes.h>
#include <os/availability.h>
#include <stddef.h>
#include <stdint.h>

// <CoreFoundation/CFAvailability.h>: the C++ forms of the enumeration macros.
#define CF_ENUM(_type, _name) \
    enum _name : _type _name; \
    enum _name : _type
#define CF_OPTIONS(_type, _name) \
    _type _name;                 \
    enum : _type

#define CF_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define CF_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")

extern "C" {

// <CoreFoundation/CFBase.h>
typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef unsigned long CFOptionFlags;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;

extern const CFAllocatorRef kCFAllocatorDefault;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

// <CoreFoundation/CFNumber.h>
typedef const struct __CFBoolean* CFBooleanRef;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

// <CoreFoundation/CFArray.h>
typedef const struct __CFArray* CFArrayRef;
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

// <CoreFoundation/CFData.h>
typedef const struct __CFData* CFDataRef;
const UInt8* CFDataGetBytePtr(CFDataRef theData);
CFIndex CFDataGetLength(CFDataRef theData);

// <CoreFoundation/CFDictionary.h>
typedef const struct __CFDictionary* CFDictionaryRef;
CFTypeID CFDictionaryGetTypeID(void);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

// <CoreFoundation/CFRunLoop.h>
typedef struct __CFRunLoop* CFRunLoopRef;
extern const CFStringRef kCFRunLoopCommonModes;
CFRunLoopRef CFRunLoopGetMain(void);
#if __BLOCKS__
void CFRunLoopPerformBlock(CFRunLoopRef rl, CFTypeRef mode, void (^block)(void));
#endif
void CFRunLoopWakeUp(CFRunLoopRef rl);

}  // extern "C"
