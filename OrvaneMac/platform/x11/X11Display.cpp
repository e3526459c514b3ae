#include "OrvaneMac/platform/x11/X11Display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <glib.h>

#include <cstdlib>
#include <mutex>

namespace orvane::x11 {
namespace {

// The number under which a connection's X11Display is kept on Xlib's own
// per-display extension list: the error handlers find it there, so no table
// of connections is needed.
constexpr int kOwnerTag = 0x4F525631;

int keepPrivate(XExtData*) { return 0; }  // the X11Display is not Xlib's to free

struct Source {
  GSource base;
  GPollFD poll;
  X11Display* owner;
};

gboolean prepare(GSource* source, gint* timeout) {
  *timeout = -1;
  auto* s = reinterpret_cast<Source*>(source);
  if (s->owner->broken()) return FALSE;
  // Before the loop sleeps, whatever the ports asked of the server goes out:
  // a request left in Xlib's buffer (an event selection, say) would wait for
  // the next unrelated one.
  XFlush(s->owner->get());
  return XEventsQueued(s->owner->get(), QueuedAlready) > 0;
}

gboolean check(GSource* source) {
  auto* s = reinterpret_cast<Source*>(source);
  if (s->poll.revents & (G_IO_HUP | G_IO_ERR)) return TRUE;
  return (s->poll.revents & G_IO_IN) || (!s->owner->broken() && XEventsQueued(s->owner->get(), QueuedAlready) > 0);
}

gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
  reinterpret_cast<Source*>(source)->owner->dispatchPending();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs sourceFuncs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

}  // namespace

std::unique_ptr<X11Display> X11Display::open(const std::string& name) {
  // Xlib's error handler is process-wide: one that records the error on the
  // connection it belongs to, installed once, replaces the default that exits.
  static std::once_flag installed;
  // The same for a lost connection: Xlib's default handler exits before the
  // connection's own exit handler (which marks it broken) is reached. Other
  // connections keep their default exit handler, so they still exit.
  std::call_once(installed, [] {
    XSetErrorHandler(&X11Display::onError);
    XSetIOErrorHandler([](Display*) { return 0; });
  });
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) return nullptr;
  return std::unique_ptr<X11Display>(new X11Display(display));
}

X11Display::X11Display(Display* display)
    : display_(display), root_(DefaultRootWindow(display)), screen_(DefaultScreen(display)) {
  auto* tag = static_cast<XExtData*>(std::calloc(1, sizeof(XExtData)));
  tag->number = kOwnerTag;
  tag->free_private = &keepPrivate;
  tag->private_data = reinterpret_cast<XPointer>(this);
  XEDataObject object;
  object.display = display_;
  XAddToExtensionList(XEHeadOfExtensionList(object), tag);
  XSetIOErrorExitHandler(display_, &X11Display::onIOErrorExit, this);
}

X11Display::~X11Display() {
  if (source_) {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  XCloseDisplay(display_);
}

X11Display* X11Display::of(Display* display) {
  XEDataObject object;
  object.display = display;
  XExtData* tag = XFindOnExtensionList(XEHeadOfExtensionList(object), kOwnerTag);
  return tag ? reinterpret_cast<X11Display*>(tag->private_data) : nullptr;
}

int X11Display::onError(Display* display, XErrorEvent* event) {
  if (X11Display* self = of(display); self && self->firstError_ == 0) self->firstError_ = event->error_code;
  return 0;
}

// Xlib calls this where it would exit; returning leaves the connection marked
// dead, and Xlib's later calls on it fail without blocking.
void X11Display::onIOErrorExit(Display*, void* self) { static_cast<X11Display*>(self)->broken_ = true; }

Atom X11Display::atom(std::string_view name) {
  std::string key(name);
  if (auto it = atoms_.find(key); it != atoms_.end()) return it->second;
  const Atom value = XInternAtom(display_, key.c_str(), False);
  if (!broken_) atoms_.emplace(std::move(key), value);
  return value;
}

int X11Display::trap(const std::function<void()>& request) {
  if (broken_) return BadImplementation;
  XSync(display_, False);
  firstError_ = 0;
  request();
  XSync(display_, False);
  if (broken_) return BadImplementation;
  return takeError();
}

int X11Display::takeError() {
  const int error = firstError_;
  firstError_ = 0;
  return error;
}

namespace {

// XGetWindowProperty of a whole property; Xlib frees the data with the holder.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned char* data = nullptr;
  ~Property() {
    if (data) XFree(data);
  }
};

bool readProperty(X11Display& x, ::Window window, Atom property, Atom type, Property& out) {
  unsigned long after = 0;
  int status = Success;
  const int error = x.trap([&] {
    status = XGetWindowProperty(x.get(), window, property, 0, 1 << 20, False, type, &out.type, &out.format,
                                &out.count, &after, &out.data);
  });
  return error == Success && status == Success && out.data != nullptr;
}

}  // namespace

std::optional<std::vector<unsigned long>> X11Display::cardinals(::Window window, std::string_view property, Atom type) {
  Property p;
  if (!readProperty(*this, window, atom(property), type, p) || p.type != type || p.format != 32) return std::nullopt;
  // Format-32 data comes as longs, whatever the width of long.
  const auto* values = reinterpret_cast<const unsigned long*>(p.data);
  return std::vector<unsigned long>(values, values + p.count);
}

std::optional<std::vector<::Window>> X11Display::windows(::Window window, std::string_view property) {
  auto values = cardinals(window, property, XA_WINDOW);
  if (!values) return std::nullopt;
  return std::vector<::Window>(values->begin(), values->end());
}

std::optional<std::string> X11Display::text(::Window window, std::string_view property) {
  const Atom utf8 = atom("UTF8_STRING");
  Property p;
  if (!readProperty(*this, window, atom(property), AnyPropertyType, p) || p.format != 8) return std::nullopt;
  const auto* bytes = reinterpret_cast<const char*>(p.data);
  if (p.type == utf8) return std::string(bytes, p.count);
  if (p.type != XA_STRING) return std::nullopt;
  // ISO 8859-1: every byte is the code point of the same value.
  std::string out;
  for (unsigned long i = 0; i < p.count; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void X11Display::sendRootMessage(::Window window, std::string_view messageType, std::array<long, 5> data) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom(messageType);
  event.xclient.format = 32;
  for (int i = 0; i < 5; ++i) event.xclient.data.l[i] = data[i];
  XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XFlush(display_);
}

int X11Display::addEventHandler(EventHandler handler) {
  handlers_.emplace(nextHandler_, std::move(handler));
  return nextHandler_++;
}

void X11Display::removeEventHandler(int id) { handlers_.erase(id); }

void X11Display::attachToMainLoop(GMainContext* context) {
  if (source_) return;
  source_ = g_source_new(&sourceFuncs, sizeof(Source));
  auto* s = reinterpret_cast<Source*>(source_);
  s->owner = this;
  s->poll.fd = fd();
  s->poll.events = G_IO_IN | G_IO_HUP | G_IO_ERR;
  g_source_add_poll(source_, &s->poll);
  g_source_set_name(source_, "X11Display");
  g_source_attach(source_, context ? context : g_main_context_get_thread_default());
}

void X11Display::dispatchPending() {
  while (!broken_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    // An extension's generic event (XInput 2) carries its data in a cookie
    // that can be fetched once: fetched here, every handler sees it.
    const bool cookie = XGetEventData(display_, &event.xcookie);
    // A copy of the ids: a handler may add or remove handlers.
    std::vector<int> ids;
    for (const auto& [id, _] : handlers_) ids.push_back(id);
    for (int id : ids) {
      if (auto it = handlers_.find(id); it != handlers_.end()) {
        auto handler = it->second;  // the handler may remove itself
        handler(event);
      }
    }
    if (cookie) XFreeEventData(display_, &event.xcookie);
  }
  if (broken_ && source_) {
    g_source_destroy(source_);
    g_source_unref(source_);
    source_ = nullptr;
    if (onBroken) onBroken();
  }
}

}  // namespace orvane::x11
