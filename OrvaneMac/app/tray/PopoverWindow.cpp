#include "OrvaneMac/app/tray/PopoverWindow.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

namespace orvane {

namespace {

constexpr const char* kActionKey = "orvane-action";

// Activation arrives over D-Bus without an input event to take a time from;
// the server's time now is what window managers that keep others from
// stealing the focus accept.
void present(GtkWidget* widget) {
  gtk_widget_show_all(widget);
  GdkWindow* window = gtk_widget_get_window(widget);
  const guint32 time = window && GDK_IS_X11_WINDOW(window) ? gdk_x11_get_server_time(window) : GDK_CURRENT_TIME;
  gtk_window_present_with_time(GTK_WINDOW(widget), time);
  // GTK gives the first entry the focus on showing, which hides its
  // placeholder: the sign-in field would not say what to paste.
  gtk_window_set_focus(GTK_WINDOW(widget), nullptr);
}

std::string tintClass(Tint tint) { return "tint-" + std::string(toString(tint)); }

std::string css() {
  std::string text;
  for (Tint tint : {Tint::gray, Tint::green, Tint::yellow, Tint::blue, Tint::red}) {
    const Rgb c = rgbOf(tint);
    text += "." + tintClass(tint) + " { color: rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," +
            std::to_string(c.b) + "); }\n";
  }
  return text + R"(
.secondary { font-size: smaller; }
.status { font-weight: bold; }
.heading { font-weight: bold; }
.footer { font-size: smaller; }
.link { padding-left: 0; padding-right: 0; }
.compact { font-size: smaller; padding: 2px 4px; min-height: 0; }
)";
}

}  // namespace

// GTK's signal handlers, each passing on to the window.
struct PopoverWindow::Signals {
  static PopoverWindow& of(void* data) { return *static_cast<PopoverWindow*>(data); }

  static void clicked(GtkWidget* button, void* data) { of(data).clicked(button); }
  static void entryActivated(GtkWidget*, void* data) {
    auto& self = of(data);
    if (GtkWidget* signIn = self.findButton(std::string(popover_text::kSignIn))) self.clicked(signIn);
  }
  static gboolean focusOut(GtkWidget*, GdkEvent*, void* data) {
    auto& self = of(data);
    if (self.mode_ == Mode::popover && self.visible()) self.hide(HideReason::focusLost);
    return FALSE;
  }
  static gboolean keyPress(GtkWidget*, GdkEventKey* event, void* data) {
    auto& self = of(data);
    if (event->keyval != GDK_KEY_Escape || self.mode_ != Mode::popover) return FALSE;
    self.hide(HideReason::escape);
    return TRUE;
  }
  // Closing the stand-in window would leave no sign of the host: it is minimised instead.
  static gboolean deleteEvent(GtkWidget* window, GdkEvent*, void* data) {
    auto& self = of(data);
    if (self.mode_ == Mode::window) {
      gtk_window_iconify(GTK_WINDOW(window));
    } else {
      self.hide(HideReason::owner);
    }
    return TRUE;
  }
};

PopoverWindow::PopoverWindow() : window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)), css_(gtk_css_provider_new()) {
  g_object_ref_sink(window_);
  gtk_css_provider_load_from_data(css_, css().c_str(), -1, nullptr);
  gtk_window_set_title(GTK_WINDOW(window_), "Orvane");
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_widget_set_size_request(window_, kWidth, -1);
  rows_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(rows_), 10);
  gtk_container_add(GTK_CONTAINER(window_), rows_);
  g_signal_connect(window_, "focus-out-event", G_CALLBACK(Signals::focusOut), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(Signals::keyPress), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(Signals::deleteEvent), this);
  mode_ = Mode::window;  // so that the popover's hints are applied
  setMode(Mode::popover);
}

PopoverWindow::~PopoverWindow() {
  g_signal_handlers_disconnect_by_data(window_, this);
  gtk_widget_destroy(window_);
  g_object_unref(window_);
  g_object_unref(css_);
}

void PopoverWindow::setContent(const PopoverContent& content) {
  if (built_ && content == content_) return;
  content_ = content;
  rebuild();
}

void PopoverWindow::showAt(int x, int y) {
  setMode(Mode::popover);
  gtk_widget_show_all(rows_);
  GtkRequisition natural{};
  gtk_widget_get_preferred_size(window_, nullptr, &natural);
  PixelRect area{x - 4096, y - 4096, 8192, 8192};
  GdkDisplay* display = gtk_widget_get_display(window_);
  if (GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, x, y)) {
    GdkRectangle workarea{};
    gdk_monitor_get_workarea(monitor, &workarea);
    area = PixelRect{workarea.x, workarea.y, workarea.width, workarea.height};
  }
  const PixelRect placed = placePopover(x, y, natural.width, natural.height, area);
  gtk_window_move(GTK_WINDOW(window_), placed.x, placed.y);
  present(window_);
}

void PopoverWindow::showAsWindow() {
  setMode(Mode::window);
  gtk_window_deiconify(GTK_WINDOW(window_));
  present(window_);
}

bool PopoverWindow::visible() const { return gtk_widget_get_visible(window_); }

void PopoverWindow::hide(HideReason reason) {
  if (!visible()) return;
  gtk_widget_hide(window_);
  if (onHidden) onHidden(reason);
}

// Decorations and window-manager hints can only change while unmapped.
void PopoverWindow::setMode(Mode mode) {
  if (mode == mode_) return;
  if (visible()) gtk_widget_hide(window_);
  mode_ = mode;
  GtkWindow* window = GTK_WINDOW(window_);
  const bool popover = mode == Mode::popover;
  gtk_window_set_decorated(window, !popover);
  gtk_window_set_skip_taskbar_hint(window, popover);
  gtk_window_set_skip_pager_hint(window, popover);
  gtk_window_set_keep_above(window, popover);
  gtk_window_set_type_hint(window, popover ? GDK_WINDOW_TYPE_HINT_UTILITY : GDK_WINDOW_TYPE_HINT_NORMAL);
  gtk_window_set_position(window, popover ? GTK_WIN_POS_NONE : GTK_WIN_POS_CENTER);
}

GtkWidget* PopoverWindow::findButton(const std::string& text) const {
  std::vector<GtkWidget*> pending{rows_};
  while (!pending.empty()) {
    GtkWidget* widget = pending.back();
    pending.pop_back();
    if (GTK_IS_BUTTON(widget)) {
      const char* buttonLabel = gtk_button_get_label(GTK_BUTTON(widget));
      if (buttonLabel && text == buttonLabel) return widget;
    } else if (GTK_IS_CONTAINER(widget)) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
      for (GList* child = children; child; child = child->next) pending.push_back(GTK_WIDGET(child->data));
      g_list_free(children);
    }
  }
  return nullptr;
}

std::string PopoverWindow::signInText() const {
  return signInEntry_ ? gtk_entry_get_text(GTK_ENTRY(signInEntry_)) : std::string();
}

void PopoverWindow::setSignInText(const std::string& text) {
  if (signInEntry_) gtk_entry_set_text(GTK_ENTRY(signInEntry_), text.c_str());
}

void PopoverWindow::rebuild() {
  const std::string typed = signInText();
  GList* children = gtk_container_get_children(GTK_CONTAINER(rows_));
  for (GList* child = children; child; child = child->next) gtk_widget_destroy(GTK_WIDGET(child->data));
  g_list_free(children);
  signInEntry_ = nullptr;
  for (const PopoverRow& row : content_.rows) gtk_box_pack_start(GTK_BOX(rows_), buildRow(row), FALSE, FALSE, 0);
  setSignInText(typed);
  built_ = true;
  gtk_widget_show_all(rows_);
  // Shrinks back when rows went away.
  if (visible()) gtk_window_resize(GTK_WINDOW(window_), kWidth, 1);
}

GtkWidget* PopoverWindow::buildRow(const PopoverRow& row) {
  using Kind = PopoverRow::Kind;
  switch (row.kind) {
    case Kind::header:
    case Kind::permission: {
      const bool header = row.kind == Kind::header;
      GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, header ? 8 : 4);
      GtkWidget* icon = gtk_image_new_from_icon_name(row.icon.c_str(), GTK_ICON_SIZE_BUTTON);
      gtk_image_set_pixel_size(GTK_IMAGE(icon), header ? 22 : 16);
      style(icon, row.tint);
      gtk_box_pack_start(GTK_BOX(box), icon, FALSE, FALSE, 0);
      GtkWidget* text = label(row.text, Tint::label, header, header ? "status" : nullptr);
      gtk_box_pack_start(GTK_BOX(box), text, TRUE, TRUE, 0);
      for (const PopoverButton& b : row.buttons) {
        GtkWidget* button = buildButton(b, false);
        gtk_style_context_add_class(gtk_widget_get_style_context(button), "compact");
        gtk_widget_set_valign(button, GTK_ALIGN_CENTER);
        gtk_box_pack_end(GTK_BOX(box), button, FALSE, FALSE, 0);
      }
      return box;
    }
    case Kind::hint:
    case Kind::note:
    case Kind::explanation:
      return label(row.text, row.tint, true);
    case Kind::heading:
      return label(row.text, row.tint, false, "heading");
    case Kind::footer:
      return label(row.text, row.tint, false, "footer");
    case Kind::signIn: {
      GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
      signInEntry_ = gtk_entry_new();
      gtk_entry_set_placeholder_text(GTK_ENTRY(signInEntry_), row.text.c_str());
      gtk_entry_set_width_chars(GTK_ENTRY(signInEntry_), 1);
      g_signal_connect(signInEntry_, "activate", G_CALLBACK(Signals::entryActivated), this);
      gtk_box_pack_start(GTK_BOX(box), signInEntry_, FALSE, FALSE, 0);
      for (const PopoverButton& b : row.buttons) {
        GtkWidget* button = buildButton(b, false);
        gtk_style_context_add_class(gtk_widget_get_style_context(button), GTK_STYLE_CLASS_SUGGESTED_ACTION);
        gtk_box_pack_start(GTK_BOX(box), button, FALSE, FALSE, 0);
      }
      return box;
    }
    case Kind::divider:
      return gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
    case Kind::buttons: {
      GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
      for (const PopoverButton& b : row.buttons) gtk_box_pack_start(GTK_BOX(box), buildButton(b, false), TRUE, TRUE, 0);
      return box;
    }
    case Kind::link: {
      GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
      for (const PopoverButton& b : row.buttons)
        gtk_box_pack_start(GTK_BOX(box), buildButton(b, true), FALSE, FALSE, 0);
      return box;
    }
  }
  return gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
}

GtkWidget* PopoverWindow::buildButton(const PopoverButton& b, bool borderless) {
  GtkWidget* button = gtk_button_new_with_label(b.label.c_str());
  if (!b.icon.empty()) {
    gtk_button_set_image(GTK_BUTTON(button), gtk_image_new_from_icon_name(b.icon.c_str(), GTK_ICON_SIZE_BUTTON));
    gtk_button_set_always_show_image(GTK_BUTTON(button), TRUE);
  }
  if (borderless) gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
  style(button, b.tint, borderless ? "link" : nullptr);
  g_object_set_data(G_OBJECT(button), kActionKey, GINT_TO_POINTER(static_cast<int>(b.action) + 1));
  g_signal_connect(button, "clicked", G_CALLBACK(Signals::clicked), this);
  return button;
}

GtkWidget* PopoverWindow::label(const std::string& text, Tint tint, bool wrap, const char* styleClass) {
  GtkWidget* widget = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(widget), 0);
  if (wrap) {
    gtk_label_set_line_wrap(GTK_LABEL(widget), TRUE);
    // Wrapped labels ask for their longest line otherwise, widening the popover.
    gtk_label_set_max_width_chars(GTK_LABEL(widget), 1);
  }
  style(widget, tint, styleClass);
  return widget;
}

void PopoverWindow::style(GtkWidget* widget, Tint tint, const char* styleClass) {
  GtkStyleContext* context = gtk_widget_get_style_context(widget);
  gtk_style_context_add_provider(context, GTK_STYLE_PROVIDER(css_), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  if (styleClass) gtk_style_context_add_class(context, styleClass);
  if (tint == Tint::secondary) {
    gtk_style_context_add_class(context, GTK_STYLE_CLASS_DIM_LABEL);
    gtk_style_context_add_class(context, "secondary");
  } else if (tint != Tint::label) {
    gtk_style_context_add_class(context, tintClass(tint).c_str());
  }
}

void PopoverWindow::clicked(GtkWidget* button) {
  const int tagged = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), kActionKey));
  if (tagged == 0 || !onAction) return;
  onAction(static_cast<PopoverAction>(tagged - 1), signInText());
}

}  // namespace orvane
