// The Objective-C fixture: a root class, a subclass and a category, compiled for the modern
// runtime without the system's headers or runtime library. Built at test build time with
// clang -target x86_64-apple-macos11 and ld64.lld; tests/crashreporter realises its classes the
// way the runtime would and lists their methods.
__attribute__((objc_root_class))
@interface QVRoot {
    void* isa;
}
+ (int)classValue;
- (int)value;
- (int)other:(int)x;
@end

@implementation QVRoot
+ (int)classValue { return 7; }
- (int)value { return 1; }
- (int)other:(int)x { return x + 2; }
@end

@interface QVChild : QVRoot
- (int)childMethod;
@end

@implementation QVChild
- (int)childMethod { return 3; }
@end

@interface QVRoot (Extras)
- (int)extra;
+ (int)classExtra;
@end

@implementation QVRoot (Extras)
- (int)extra { return 4; }
+ (int)classExtra { return 5; }
@end

// The runtime's empty method cache, which every class points to.
void* _objc_empty_cache;
