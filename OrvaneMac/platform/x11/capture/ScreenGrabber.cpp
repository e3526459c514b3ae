#include "OrvaneMac/platform/x11/capture/ScreenGrabber.h"

#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>

#include "OrvaneMac/platform/x11/capture/X11Displays.h"

namespace orvane::x11 {
namespace {

// Only the holder's own reference left: no consumer reads the buffer any
// more. The fence orders the consumer's last reads before our next writes.
template <typename T>
bool unheld(const std::shared_ptr<T>& buffer) {
  if (buffer.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

bool intersects(const XRectangle& r, const ShareableDisplay& area) {
  return r.x < area.frame.maxX() && r.x + r.width > area.frame.minX() && r.y < area.frame.maxY() &&
         r.y + r.height > area.frame.minY();
}

}  // namespace

ScreenGrabber::ScreenGrabber(const std::string& displayName, bool useDamage) {
  x_ = X11Display::open(displayName);
  if (!x_) throw CaptureServiceError("cannot open X display \"" + displayName + "\"");
  Display* d = x_->get();
  if (!XShmQueryExtension(d)) throw CaptureServiceError("the X server has no MIT-SHM extension");

  int errorBase = 0, major = 0, minor = 0;
  if (XFixesQueryExtension(d, &fixesEvent_, &errorBase) && XFixesQueryVersion(d, &major, &minor) && major >= 2) {
    hasFixes_ = true;
    XFixesSelectCursorInput(d, x_->root(), XFixesDisplayCursorNotifyMask);
  }
  // Damage regions are read through XFixes regions.
  if (useDamage && hasFixes_ && XDamageQueryExtension(d, &damageEvent_, &errorBase) &&
      XDamageQueryVersion(d, &major, &minor)) {
    // One report each time the region goes from empty to not empty: a busy
    // screen costs one event per picture, not one per drawing request.
    damage_ = XDamageCreate(d, x_->root(), XDamageReportNonEmpty);
  }
  if (XRRQueryExtension(d, &randrEvent_, &errorBase)) {
    XRRSelectInput(d, x_->root(), RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  } else {
    randrEvent_ = -1;
  }
  XSync(d, False);
  if (x_->broken()) throw CaptureServiceError("the X connection broke while capture was set up");
}

ScreenGrabber::~ScreenGrabber() {
  dropBuffers();
  if (damage_ != None && !x_->broken()) XDamageDestroy(x_->get(), damage_);
}

void ScreenGrabber::configure(const GrabSettings& settings) {
  if (settings == settings_) return;
  settings_ = settings;
  settings_.queueDepth = std::clamp(settings_.queueDepth, 1, kMaxQueueDepth);
  layoutDirty_ = true;
}

void ScreenGrabber::handle(const XEvent& event) {
  if (damage_ != None && event.type == damageEvent_ + XDamageNotify) {
    damaged_ = true;
  } else if (hasFixes_ && event.type == fixesEvent_ + XFixesCursorNotify) {
    cursorDirty_ = true;
    cursorChanged_ = true;
  } else if (randrEvent_ >= 0 &&
             (event.type == randrEvent_ + RRScreenChangeNotify || event.type == randrEvent_ + RRNotify)) {
    XEvent copy = event;
    XRRUpdateConfiguration(&copy);
    layoutDirty_ = true;
  }
}

void ScreenGrabber::checkDamage() {
  if (!damaged_) return;
  damaged_ = false;
  Display* d = x_->get();
  // Taking the region empties it, which re-arms the next report: whatever
  // changes after this point reports again.
  XserverRegion region = XFixesCreateRegion(d, nullptr, 0);
  XDamageSubtract(d, damage_, None, region);
  int count = 0;
  XRectangle* rects = XFixesFetchRegion(d, region, &count);
  for (int i = 0; i < count && !pendingChange_; ++i) pendingChange_ = intersects(rects[i], area_);
  if (rects) XFree(rects);
  XFixesDestroyRegion(d, region);
}

void ScreenGrabber::readEvents() {
  Display* d = x_->get();
  while (!x_->broken() && XPending(d) > 0) {
    XEvent event;
    XNextEvent(d, &event);
    handle(event);
  }
}

bool ScreenGrabber::poll() {
  Display* d = x_->get();
  readEvents();
  if (x_->broken()) return false;
  checkDamage();
  if (settings_.showsCursor) {
    ::Window rootReturn = None, child = None;
    int winX = 0, winY = 0;
    unsigned mask = 0;
    pointerOnScreen_ =
        XQueryPointer(d, x_->root(), &rootReturn, &child, &pointerX_, &pointerY_, &winX, &winY, &mask) == True;
  }
  const bool pointerMoved = settings_.showsCursor && (pointerX_ != drawnX_ || pointerY_ != drawnY_);
  return damage_ == None || pendingChange_ || layoutDirty_ || pointerMoved || (settings_.showsCursor && cursorChanged_);
}

void ScreenGrabber::dropBuffers() {
  // Consumers may still read the pixels; only the server lets go now.
  for (auto& image : shm_) image->detach(*x_);
  shm_.clear();
  scaled_.clear();
}

void ScreenGrabber::readLayout() {
  const auto displays = x11Displays(*x_);
  if (displays.empty()) return;  // broken: the stream notices
  auto chosen = std::find_if(displays.begin(), displays.end(),
                             [&](const ShareableDisplay& d) { return d.displayID == settings_.displayID; });
  ShareableDisplay area = chosen != displays.end() ? *chosen : displays.front();
  // A CRTC may reach past a root that is being shrunk; grab what exists.
  ::Window root = None;
  int rx = 0, ry = 0;
  unsigned rootWidth = 0, rootHeight = 0, border = 0, depth = 0;
  if (!XGetGeometry(x_->get(), x_->root(), &root, &rx, &ry, &rootWidth, &rootHeight, &border, &depth)) return;
  const double left = std::max(0.0, area.frame.minX()), top = std::max(0.0, area.frame.minY());
  const double right = std::min<double>(rootWidth, area.frame.maxX());
  const double bottom = std::min<double>(rootHeight, area.frame.maxY());
  if (right <= left || bottom <= top) return;
  area.frame = Rect(left, top, right - left, bottom - top);
  area.width = static_cast<std::int32_t>(right - left);
  area.height = static_cast<std::int32_t>(bottom - top);

  int width = settings_.width > 0 ? std::min(settings_.width, kMaxPictureSide) : area.width;
  int height = settings_.height > 0 ? std::min(settings_.height, kMaxPictureSide) : area.height;
  // Sizes are asked in a Retina backing store's pixels (twice the points), which
  // X has not: scaling a screen up only adds conversion and encoding work (and
  // latency) for pixels that carry nothing new, so a picture fits the screen.
  if (width > area.width || height > area.height) {
    const double fit = std::min(double(area.width) / width, double(area.height) / height);
    width = std::max(2, int(width * fit) & ~1);
    height = std::max(2, int(height * fit) & ~1);
  }
  if (area.width != area_.width || area.height != area_.height || width != pictureWidth_ || height != pictureHeight_) {
    dropBuffers();
  }
  area_ = area;
  pictureWidth_ = width;
  pictureHeight_ = height;
  layoutDirty_ = false;
  pendingChange_ = true;
}

std::shared_ptr<ShmImage> ScreenGrabber::freeShm(std::size_t limit) {
  for (const auto& image : shm_) {
    if (unheld(image)) return image;
  }
  if (shm_.size() >= limit) return nullptr;
  shm_.push_back(ShmImage::create(*x_, area_.width, area_.height));
  return shm_.back();
}

std::shared_ptr<ScreenGrabber::PixelBuffer> ScreenGrabber::freePixels() {
  for (const auto& buffer : scaled_) {
    if (unheld(buffer)) return buffer;
  }
  if (scaled_.size() >= static_cast<std::size_t>(settings_.queueDepth)) return nullptr;
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->bytesPerRow = pictureWidth_ * 4;
  buffer->pixels.resize(static_cast<std::size_t>(buffer->bytesPerRow) * static_cast<std::size_t>(pictureHeight_));
  scaled_.push_back(buffer);
  return buffer;
}

void ScreenGrabber::fetchCursor() {
  cursorDirty_ = false;
  cursor_.reset();
  if (!hasFixes_) return;
  XFixesCursorImage* image = XFixesGetCursorImage(x_->get());
  if (!image) return;
  CursorImage cursor;
  cursor.width = image->width;
  cursor.height = image->height;
  cursor.xhot = image->xhot;
  cursor.yhot = image->yhot;
  const auto count = static_cast<std::size_t>(image->width) * image->height;
  cursor.pixels.reserve(count);
  // 32-bit pixels, delivered in longs whatever the width of long.
  for (std::size_t i = 0; i < count; ++i) cursor.pixels.push_back(static_cast<std::uint32_t>(image->pixels[i]));
  XFree(image);
  cursor_ = std::move(cursor);
}

std::optional<CapturedImage> ScreenGrabber::grab() {
  if (x_->broken()) return std::nullopt;
  if (layoutDirty_) readLayout();
  if (layoutDirty_ || x_->broken()) return std::nullopt;

  const bool scaling = pictureWidth_ != area_.width || pictureHeight_ != area_.height;
  std::shared_ptr<ShmImage> source;
  std::shared_ptr<PixelBuffer> scaled;
  if (scaling) {
    // The grab is only read by the scaler: one segment does.
    scaled = freePixels();
    if (scaled) source = freeShm(1);
  } else {
    source = freeShm(static_cast<std::size_t>(settings_.queueDepth));
  }
  if (!source) {
    ++busySkips_;
    return std::nullopt;
  }
  if (!source->grab(*x_, static_cast<int>(area_.frame.minX()), static_cast<int>(area_.frame.minY()))) {
    ++failedGrabs_;
    layoutDirty_ = true;
    return std::nullopt;
  }
  ++grabs_;
  PictureView view;
  view.width = pictureWidth_;
  view.height = pictureHeight_;
  CapturedImage picture;
  if (scaling) {
    libyuv::ARGBScale(source->data(), source->bytesPerRow(), source->width(), source->height(), scaled->pixels.data(),
                      scaled->bytesPerRow, pictureWidth_, pictureHeight_, libyuv::kFilterBox);
    view.data = scaled->pixels.data();
    view.bytesPerRow = scaled->bytesPerRow;
    picture.owner = scaled;
  } else {
    view.data = source->data();
    view.bytesPerRow = source->bytesPerRow();
    picture.owner = source;
  }
  picture.width = view.width;
  picture.height = view.height;
  picture.data = view.data;
  picture.bytesPerRow = view.bytesPerRow;
  if (settings_.showsCursor && pointerOnScreen_) {
    if (cursorDirty_) fetchCursor();
    if (cursor_) {
      view.scaleX = static_cast<double>(pictureWidth_) / area_.width;
      view.scaleY = static_cast<double>(pictureHeight_) / area_.height;
      drawCursor(*cursor_, pointerX_ - static_cast<int>(area_.frame.minX()),
                 pointerY_ - static_cast<int>(area_.frame.minY()), view);
    }
  }
  drawnX_ = pointerX_;
  drawnY_ = pointerY_;
  pendingChange_ = false;
  cursorChanged_ = false;
  return picture;
}

}  // namespace orvane::x11
