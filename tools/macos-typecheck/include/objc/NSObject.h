// Declarations mirroring <objc/NSObject.h> (and the Foundation parts of NSObject that the macOS
// sources use: isKindOfClass, copy).
#pragma once

#include <objc/objc.h>

typedef unsigned long NSUInteger;
typedef long NSInteger;
struct _NSZone;

@protocol NSObject
- (BOOL)isEqual:(id)object;
@property(readonly) NSUInteger hash;
- (BOOL)isKindOfClass:(Class)aClass;
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject> {
    Class isa;
}
+ (instancetype)alloc;
+ (instancetype)new;
- (instancetype)init;
+ (Class)class;
- (id)copy;
- (id)mutableCopy;
@end
