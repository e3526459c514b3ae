// A small GTK 3 window whose every input is reported on stdout, for tests that
// drive a real desktop and need to see what a real toolkit application got.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Arguments {
  std::string title = "Orvane test";
  int x = 100, y = 100, width = 640, height = 480;
  bool pattern = false;
};

struct Client {
  Arguments arguments;
  GtkWidget* window = nullptr;
  bool mapped = false;
  bool readyPending = false;
  gulong afterPaintHandler = 0;
  std::string lastGeometry;
};

// One line per report, flushed at once: the test reads them as they come.
void report(const char* format, ...) G_GNUC_PRINTF(1, 2);
void report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--title" && hasValue) {
      arguments.title = argv[++i];
    } else if (arg == "--geometry" && hasValue) {
      int width = 0, height = 0, x = 0, y = 0;
      if (std::sscanf(argv[++i], "%dx%d+%d+%d", &width, &height, &x, &y) == 4 && width > 0 && height > 0) {
        arguments = Arguments{arguments.title, x, y, width, height, arguments.pattern};
      }
    } else if (arg == "--pattern") {
      arguments.pattern = true;
    }
    // Anything else (--print-env, files from a desktop entry) is accepted and ignored.
  }
  return arguments;
}

void onAfterPaint(GdkFrameClock* clock, gpointer data) {
  auto* client = static_cast<Client*>(data);
  g_signal_handler_disconnect(clock, client->afterPaintHandler);
  // The paint has been sent; wait until the server has it, so a capture right
  // after "ready" sees the pixels.
  gdk_display_sync(gtk_widget_get_display(client->window));
  auto xid = static_cast<unsigned long>(gdk_x11_window_get_xid(gtk_widget_get_window(client->window)));
  report("ready window=0x%lx pid=%d", xid, static_cast<int>(getpid()));
}

gboolean onDraw(GtkWidget* area, cairo_t* cr, gpointer data) {
  auto* client = static_cast<Client*>(data);
  double width = gtk_widget_get_allocated_width(area);
  double height = gtk_widget_get_allocated_height(area);
  if (client->arguments.pattern) {
    double halfWidth = std::floor(width / 2), halfHeight = std::floor(height / 2);
    struct Quadrant {
      double x, y, w, h, r, g, b;
    };
    const Quadrant quadrants[] = {{0, 0, halfWidth, halfHeight, 1, 0, 0},
                                  {halfWidth, 0, width - halfWidth, halfHeight, 0, 1, 0},
                                  {0, halfHeight, halfWidth, height - halfHeight, 0, 0, 1},
                                  {halfWidth, halfHeight, width - halfWidth, height - halfHeight, 1, 1, 1}};
    for (const auto& q : quadrants) {
      cairo_set_source_rgb(cr, q.r, q.g, q.b);
      cairo_rectangle(cr, q.x, q.y, q.w, q.h);
      cairo_fill(cr);
    }
  } else {
    cairo_set_source_rgb(cr, 128.0 / 255, 128.0 / 255, 128.0 / 255);
    cairo_paint(cr);
  }
  // A paint before the window manager maps the window is lost: only one after counts.
  if (client->mapped && !client->readyPending) {
    client->readyPending = true;
    client->afterPaintHandler = g_signal_connect(gtk_widget_get_frame_clock(client->window), "after-paint",
                                                 G_CALLBACK(onAfterPaint), client);
  }
  return FALSE;
}

// Where the window is now, once it is on screen and only when that changed:
// GTK configures the window before the window manager places it, and the
// reparenting repeats the same geometry.
void reportGeometry(Client* client) {
  if (!client->mapped) return;
  GdkWindow* window = gtk_widget_get_window(client->window);
  int x = 0, y = 0;
  gdk_window_get_origin(window, &x, &y);
  char line[128];
  std::snprintf(line, sizeof line, "configure x=%d y=%d width=%d height=%d", x, y, gdk_window_get_width(window),
                gdk_window_get_height(window));
  if (client->lastGeometry == line) return;
  client->lastGeometry = line;
  report("%s", line);
}

gboolean onMap(GtkWidget*, GdkEvent*, gpointer data) {
  auto* client = static_cast<Client*>(data);
  client->mapped = true;
  reportGeometry(client);
  gtk_widget_queue_draw(client->window);
  return FALSE;
}

gboolean onConfigure(GtkWidget*, GdkEventConfigure*, gpointer data) {
  reportGeometry(static_cast<Client*>(data));
  return FALSE;
}

gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer) {
  const char* name = gdk_keyval_name(event->keyval);
  // The X core modifier bits (Shift 0x1, Lock 0x2, Control 0x4, Mod1..Mod5 0x8..0x80).
  report("key keysym=%s state=0x%x", name ? name : "NoSymbol", event->state & 0xffu);
  return FALSE;
}

gboolean onButtonPress(GtkWidget*, GdkEventButton* event, gpointer) {
  int count = event->type == GDK_3BUTTON_PRESS ? 3 : event->type == GDK_2BUTTON_PRESS ? 2 : 1;
  report("click button=%u x=%d y=%d count=%d", event->button, static_cast<int>(std::lround(event->x_root)),
         static_cast<int>(std::lround(event->y_root)), count);
  return FALSE;
}

gboolean onScroll(GtkWidget*, GdkEventScroll* event, gpointer) {
  const char* direction = nullptr;
  switch (event->direction) {
    case GDK_SCROLL_UP: direction = "up"; break;
    case GDK_SCROLL_DOWN: direction = "down"; break;
    case GDK_SCROLL_LEFT: direction = "left"; break;
    case GDK_SCROLL_RIGHT: direction = "right"; break;
    case GDK_SCROLL_SMOOTH: {
      double dx = 0, dy = 0;
      gdk_event_get_scroll_deltas(reinterpret_cast<GdkEvent*>(event), &dx, &dy);
      if (dy != 0) direction = dy < 0 ? "up" : "down";
      else if (dx != 0) direction = dx < 0 ? "left" : "right";
      break;
    }
  }
  if (direction) report("scroll direction=%s", direction);
  return FALSE;
}

void onEntryChanged(GtkEditable* entry, gpointer) { report("text %s", gtk_entry_get_text(GTK_ENTRY(entry))); }

void onButtonClicked(GtkButton*, gpointer) { report("button clicked"); }

gboolean onFocusIn(GtkWidget*, GdkEvent*, gpointer name) {
  report("focus %s", static_cast<const char*>(name));
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  gtk_init(&argc, &argv);
  Client client;
  client.arguments = parseArguments(argc, argv);
  const Arguments& arguments = client.arguments;

  client.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(client.window), arguments.title.c_str());
  gtk_window_move(GTK_WINDOW(client.window), arguments.x, arguments.y);
  gtk_window_resize(GTK_WINDOW(client.window), arguments.width, arguments.height);
  g_signal_connect(client.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  g_signal_connect(client.window, "map-event", G_CALLBACK(onMap), &client);
  g_signal_connect(client.window, "configure-event", G_CALLBACK(onConfigure), &client);
  // Before GtkWindow hands the key to the focused widget.
  g_signal_connect(client.window, "key-press-event", G_CALLBACK(onKeyPress), nullptr);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(client.window), box);

  GtkWidget* area = gtk_drawing_area_new();
  gtk_widget_set_vexpand(area, TRUE);
  gtk_widget_set_hexpand(area, TRUE);
  gtk_widget_add_events(area, GDK_BUTTON_PRESS_MASK | GDK_SCROLL_MASK);
  g_signal_connect(area, "draw", G_CALLBACK(onDraw), &client);
  g_signal_connect(area, "button-press-event", G_CALLBACK(onButtonPress), nullptr);
  g_signal_connect(area, "scroll-event", G_CALLBACK(onScroll), nullptr);
  gtk_box_pack_start(GTK_BOX(box), area, TRUE, TRUE, 0);

  GtkWidget* entry = gtk_entry_new();
  g_signal_connect(entry, "changed", G_CALLBACK(onEntryChanged), nullptr);
  g_signal_connect(entry, "focus-in-event", G_CALLBACK(onFocusIn), const_cast<char*>("entry"));
  gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 0);

  GtkWidget* button = gtk_button_new_with_label("Press");
  g_signal_connect(button, "clicked", G_CALLBACK(onButtonClicked), nullptr);
  g_signal_connect(button, "focus-in-event", G_CALLBACK(onFocusIn), const_cast<char*>("button"));
  gtk_box_pack_start(GTK_BOX(box), button, FALSE, FALSE, 0);

  gtk_widget_grab_focus(entry);
  gtk_widget_show_all(client.window);
  gtk_main();
  return 0;
}
