// ShmImage: one MIT-SHM image attached to an X connection, for grabbing a rectangle of the root
// window without copying through the socket. Used on the connection's thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <memory>
#include <string>

namespace panelora {

class X11Connection;

class ShmImage {
  public:
    // An image of width × height in the screen's format, which must be 32-bit BGRX; nothing and
    // `why` otherwise, or when the server cannot attach the segment (a remote display).
    static std::unique_ptr<ShmImage> create(X11Connection& connection, int width, int height,
                                            std::string* why);
    ~ShmImage();
    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    // Copies the root window's pixels at (x, y) into the image. False on an X error (the
    // rectangle no longer fits the screen).
    bool grabRoot(int x, int y);
    // Copies `rows` full rows from `firstRow` on (of the rectangle at (x, y) that the image
    // covers) into the same rows of the image, leaving the others as they are.
    bool grabRows(int x, int y, int firstRow, int rows);

    uint8_t* pixels() const { return reinterpret_cast<uint8_t*>(image_->data); }
    int stride() const { return image_->bytes_per_line; }
    int width() const { return image_->width; }
    int height() const { return image_->height; }

  private:
    explicit ShmImage(X11Connection& connection);

    X11Connection& connection_;
    XShmSegmentInfo segment_{};
    XImage* image_ = nullptr;
    bool attached_ = false;
};

}  // namespace panelora
