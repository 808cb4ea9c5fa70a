// CFRef: the owner of one CoreFoundation reference (CFTypeRef and the types built on it:
// CGEventRef, CVPixelBufferRef, VTCompressionSessionRef, …). It takes over a reference that
// follows the Create/Copy rule, retains one that does not (retain()), and releases it when it
// goes. Objective-C objects are ARC's business and never held here.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <utility>

namespace panelora {

template <class Ref>
class CFRef {
  public:
    CFRef() = default;
    // Takes over `ref`, which the caller owns (a Create or Copy function's result).
    explicit CFRef(Ref ref) : ref_(ref) {}
    // Shares `ref`, which the caller does not own (a Get function's result).
    static CFRef retain(Ref ref) {
        if (ref) CFRetain(ref);
        return CFRef(ref);
    }

    CFRef(const CFRef& other) : ref_(other.ref_) {
        if (ref_) CFRetain(ref_);
    }
    CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFRef& operator=(CFRef other) noexcept {
        std::swap(ref_, other.ref_);
        return *this;
    }
    ~CFRef() { reset(); }

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    void reset() {
        if (ref_) CFRelease(ref_);
        ref_ = nullptr;
    }
    // Gives up ownership; the caller releases.
    Ref release() { return std::exchange(ref_, nullptr); }

  private:
    Ref ref_ = nullptr;
};

}  // namespace panelora
