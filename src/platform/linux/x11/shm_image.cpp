#include "platform/linux/x11/shm_image.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/linux/xlib/x11_connection.h"

namespace panelora {

std::unique_ptr<ShmImage> ShmImage::create(X11Connection& connection, int width, int height,
                                           std::string* why) {
    auto fail = [why](const char* text) -> std::unique_ptr<ShmImage> {
        if (why) *why = text;
        return nullptr;
    };
    auto image = std::unique_ptr<ShmImage>(new ShmImage(connection));
    Display* display = connection.display();
    int screen = DefaultScreen(display);
    image->image_ = XShmCreateImage(display, DefaultVisual(display, screen),
                                    static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap,
                                    nullptr, &image->segment_, static_cast<unsigned>(width),
                                    static_cast<unsigned>(height));
    if (!image->image_) {
        return fail("XShmCreateImage failed");
    }
    const XImage& x = *image->image_;
    if (x.bits_per_pixel != 32 || x.red_mask != 0xff0000 || x.green_mask != 0xff00 ||
        x.blue_mask != 0xff || x.byte_order != LSBFirst) {
        return fail("the X screen's pixel format is not 32-bit BGRX");
    }
    const size_t bytes = static_cast<size_t>(x.bytes_per_line) * static_cast<size_t>(height);
    image->segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (image->segment_.shmid < 0) {
        return fail("shmget failed");
    }
    void* address = shmat(image->segment_.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(image->segment_.shmid, IPC_RMID, nullptr);
        return fail("shmat failed");
    }
    image->segment_.shmaddr = image->image_->data = static_cast<char*>(address);
    image->segment_.readOnly = False;
    image->attached_ = XShmAttach(display, &image->segment_) && connection.sync();
    // Marked for removal at once: the segment goes with the last detach, even after a crash.
    shmctl(image->segment_.shmid, IPC_RMID, nullptr);
    if (!image->attached_) {
        return fail("the X server could not attach the shared memory (is it a remote display?)");
    }
    return image;
}

ShmImage::ShmImage(X11Connection& connection) : connection_(connection) {
    segment_.shmid = -1;
    segment_.shmaddr = nullptr;
}

ShmImage::~ShmImage() {
    if (attached_ && !connection_.broken()) {
        XShmDetach(connection_.display(), &segment_);
        connection_.sync();
    }
    if (image_) {
        image_->data = nullptr;  // the segment is not Xlib's to free
        XDestroyImage(image_);
    }
    if (segment_.shmaddr) shmdt(segment_.shmaddr);
}

bool ShmImage::grabRoot(int x, int y) {
    return XShmGetImage(connection_.display(), connection_.root(), image_, x, y, AllPlanes);
}

bool ShmImage::grabRows(int x, int y, int firstRow, int rows) {
    if (firstRow < 0 || rows < 1 || firstRow + rows > image_->height) return false;
    // A header for the band: the server writes full rows at the band's offset in the segment.
    XImage band = *image_;
    band.height = rows;
    band.data = image_->data + static_cast<size_t>(firstRow) * image_->bytes_per_line;
    return XShmGetImage(connection_.display(), connection_.root(), &band, x, y + firstRow,
                        AllPlanes);
}

}  // namespace panelora
