#include "OrvaneMac/platform/x11/capture/ShmImage.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>

#include "OrvaneMac/platform/ShareableContent.h"

namespace orvane::x11 {

std::shared_ptr<ShmImage> ShmImage::create(X11Display& x, int width, int height) {
  Display* d = x.get();
  std::shared_ptr<ShmImage> self(new ShmImage());
  self->width_ = width;
  self->height_ = height;
  self->segment_.shmid = -1;
  self->segment_.shmaddr = reinterpret_cast<char*>(-1);
  XImage* image =
      XShmCreateImage(d, DefaultVisual(d, x.screen()), static_cast<unsigned>(DefaultDepth(d, x.screen())), ZPixmap,
                      nullptr, &self->segment_, static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (!image) throw CaptureServiceError("XShmCreateImage failed");
  self->image_ = image;
  // The frame path hands the pixels on as BGRA without converting them.
  if (image->bits_per_pixel != 32 || image->byte_order != LSBFirst || image->red_mask != 0xFF0000 ||
      image->green_mask != 0xFF00 || image->blue_mask != 0xFF) {
    throw CaptureServiceError("unsupported screen pixel format (depth " + std::to_string(image->depth) + ", " +
                              std::to_string(image->bits_per_pixel) + " bits per pixel)");
  }
  self->bytesPerRow_ = image->bytes_per_line;
  const auto bytes = static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height);
  self->segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (self->segment_.shmid < 0) throw CaptureServiceError("shmget failed for " + std::to_string(bytes) + " bytes");
  self->segment_.shmaddr = static_cast<char*>(shmat(self->segment_.shmid, nullptr, 0));
  if (self->segment_.shmaddr == reinterpret_cast<char*>(-1)) {
    shmctl(self->segment_.shmid, IPC_RMID, nullptr);
    throw CaptureServiceError("shmat failed");
  }
  image->data = self->segment_.shmaddr;
  self->segment_.readOnly = False;
  const int error = x.trap([&] { XShmAttach(d, &self->segment_); });
  // Marked for removal at once: it goes away with its last user, even if the
  // process dies.
  shmctl(self->segment_.shmid, IPC_RMID, nullptr);
  if (error != Success) throw CaptureServiceError("XShmAttach failed (X error " + std::to_string(error) + ")");
  self->attached_ = true;
  return self;
}

ShmImage::~ShmImage() {
  if (image_) {
    image_->data = nullptr;  // the segment is not Xlib's to free
    XDestroyImage(image_);
  }
  if (segment_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(segment_.shmaddr);
}

bool ShmImage::grab(X11Display& x, int left, int top) {
  if (!attached_ || x.broken()) return false;
  x.takeError();  // an older request's error is not this grab's
  const Bool ok = XShmGetImage(x.get(), x.root(), image_, left, top, AllPlanes);
  // The request waited for its reply, so an error it caused is recorded by now.
  const int error = x.takeError();
  return ok && error == Success && !x.broken();
}

void ShmImage::detach(X11Display& x) {
  if (!attached_) return;
  attached_ = false;
  if (!x.broken()) XShmDetach(x.get(), &segment_);
}

}  // namespace orvane::x11
