// Declarations mirroring <MacTypes.h> (CarbonCore), as much as the macOS sources use.
#pragma once

#include <stdint.h>

typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef int32_t OSStatus;
typedef uint32_t FourCharCode;
typedef FourCharCode OSType;
typedef unsigned char Boolean;

enum { noErr = 0 };
