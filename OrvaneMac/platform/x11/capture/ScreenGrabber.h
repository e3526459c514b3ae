#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneMac/platform/CaptureStream.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/capture/CursorOverlay.h"
#include "OrvaneMac/platform/x11/capture/ShmImage.h"

namespace orvane::x11 {

// What the grabber produces; it takes effect at the next grab.
struct GrabSettings {
  std::uint32_t displayID = 0;  // a display of x11Displays(); the main one when it is not there
  int width = 0;                // picture size; 0 or less: the display's own size
  int height = 0;
  bool showsCursor = true;
  int queueDepth = 3;  // pictures that may be held by consumers at once
  bool operator==(const GrabSettings&) const = default;
};

// The X side of one capture thread: its own connection, shared-memory grabs
// of one display, scaling, the cursor, and change tracking through XDamage
// (unless told not to trust it). Pictures come from a small ring of buffers;
// one still held by a consumer is never written, so a picture goes out
// without a copy. Used from one thread only.
class ScreenGrabber {
 public:
  static constexpr int kMaxPictureSide = 8192;
  static constexpr int kMaxQueueDepth = 8;

  // Throws CaptureServiceError when the display does not open or lacks MIT-SHM.
  ScreenGrabber(const std::string& displayName, bool useDamage);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  int fd() const { return x_->fd(); }
  bool broken() const { return x_->broken(); }
  bool usesDamage() const { return damage_ != None; }

  void configure(const GrabSettings& settings);

  // Reads what the server sent without waiting for it.
  void readEvents();
  // Reads what the server sent (damage, cursor shape, screen layout) and
  // where the pointer is. True when a grab now would differ from the last
  // picture; always true without damage tracking.
  bool poll();

  // The display now, scaled, with the cursor. Nothing when every buffer is
  // still held by a consumer or the screen could not be read this time (the
  // layout is read again before the next try). Throws CaptureServiceError
  // when shared memory cannot be set up for a new layout.
  std::optional<CapturedImage> grab();

  std::uint64_t grabs() const { return grabs_; }
  // Grabs given up because every buffer was held, and because the server refused.
  std::uint64_t busySkips() const { return busySkips_; }
  std::uint64_t failedGrabs() const { return failedGrabs_; }
  // The captured rectangle in root coordinates and the picture size.
  const ShareableDisplay& area() const { return area_; }
  int pictureWidth() const { return pictureWidth_; }
  int pictureHeight() const { return pictureHeight_; }

 private:
  struct PixelBuffer {
    std::vector<std::uint8_t> pixels;
    int bytesPerRow = 0;
  };

  void handle(const XEvent& event);
  void checkDamage();
  void readLayout();
  void dropBuffers();
  std::shared_ptr<ShmImage> freeShm(std::size_t limit);
  std::shared_ptr<PixelBuffer> freePixels();
  void fetchCursor();

  std::unique_ptr<X11Display> x_;
  Damage damage_ = None;
  int damageEvent_ = -1;
  int fixesEvent_ = -1;
  int randrEvent_ = -1;
  bool hasFixes_ = false;

  GrabSettings settings_;
  bool layoutDirty_ = true;
  ShareableDisplay area_;
  int pictureWidth_ = 0;
  int pictureHeight_ = 0;
  std::vector<std::shared_ptr<ShmImage>> shm_;
  std::vector<std::shared_ptr<PixelBuffer>> scaled_;

  bool damaged_ = false;        // a damage report is waiting to be read
  bool pendingChange_ = true;   // the screen changed since the last picture
  bool cursorDirty_ = true;     // the cursor's shape changed since it was fetched
  bool cursorChanged_ = false;  // ... since the last picture
  std::optional<CursorImage> cursor_;
  int pointerX_ = 0, pointerY_ = 0;
  bool pointerOnScreen_ = false;
  int drawnX_ = -1, drawnY_ = -1;

  std::uint64_t grabs_ = 0;
  std::uint64_t busySkips_ = 0;
  std::uint64_t failedGrabs_ = 0;
};

}  // namespace orvane::x11
