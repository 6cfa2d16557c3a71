// The splash: the start-up picture over where the frame will be, for the
// first seconds of the client.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "client/windows/client_windows.h"
#include "foundation/log/process_log.h"

namespace quol::client {
namespace {

// A splash picture is 350 x 150; a partner's is taken up to this size, a
// larger (or undecodable) one leaves the splash out.
constexpr int kMaxSplashSide = 2048;
constexpr std::size_t kMaxSplashBytes = 8u << 20;

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using PixbufHandle = std::unique_ptr<GdkPixbuf, ObjectUnref>;

PixbufHandle LoadPicture(int bitmap_id) {
  std::string bytes;
  if (!LoadClientResource(std::to_string(bitmap_id), &bytes) || bytes.empty() ||
      bytes.size() > kMaxSplashBytes) {
    return nullptr;
  }
  GInputStream* stream = g_memory_input_stream_new_from_data(bytes.data(),
                                                             static_cast<gssize>(bytes.size()), nullptr);
  GError* error = nullptr;
  PixbufHandle picture(gdk_pixbuf_new_from_stream(stream, nullptr, &error));
  g_object_unref(stream);
  if (error != nullptr) {
    LogError("Splash picture %d cannot be read: %s", bitmap_id, error->message);
    g_error_free(error);
    return nullptr;
  }
  if (!picture || gdk_pixbuf_get_width(picture.get()) > kMaxSplashSide ||
      gdk_pixbuf_get_height(picture.get()) > kMaxSplashSide) {
    return nullptr;
  }
  return picture;
}

// The rectangle to centre on: the frame's, or the monitor's work area when
// the frame will open maximized (or is not there).
GdkRectangle CentreArea(GtkWindow* frame) {
  GdkRectangle area{0, 0, 0, 0};
  if (frame != nullptr && !gtk_window_is_maximized(frame)) {
    gtk_window_get_position(frame, &area.x, &area.y);
    gtk_window_get_size(frame, &area.width, &area.height);
    if (area.width > 1 && area.height > 1) return area;
  }
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = display != nullptr ? gdk_display_get_primary_monitor(display) : nullptr;
  if (monitor == nullptr && display != nullptr) monitor = gdk_display_get_monitor(display, 0);
  if (monitor != nullptr) gdk_monitor_get_workarea(monitor, &area);
  return area;
}

class SplashWindow final : public CSplashWindow {
 public:
  SplashWindow(PixbufHandle picture, GtkWindow* frame, int timeout_ms,
               std::function<void()> on_timeout)
      : picture_(std::move(picture)), frame_(frame), on_timeout_(std::move(on_timeout)) {
    const int width = gdk_pixbuf_get_width(picture_.get());
    const int height = gdk_pixbuf_get_height(picture_.get());
    window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_widget_set_name(GTK_WIDGET(window_), "5000");
    gtk_window_set_decorated(window_, FALSE);
    gtk_window_set_resizable(window_, FALSE);
    gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_SPLASHSCREEN);
    gtk_window_set_skip_taskbar_hint(window_, TRUE);
    gtk_window_set_skip_pager_hint(window_, TRUE);
    gtk_window_set_keep_above(window_, TRUE);
    // Shown without activating it; the frame keeps (or gets) the focus.
    gtk_window_set_accept_focus(window_, FALSE);
    gtk_window_set_focus_on_map(window_, FALSE);
    gtk_window_set_default_size(window_, width, height);
    gtk_widget_set_size_request(GTK_WIDGET(window_), width, height);
    gtk_widget_set_app_paintable(GTK_WIDGET(window_), TRUE);
    g_signal_connect(window_, "draw", G_CALLBACK(&SplashWindow::OnDraw), this);
    g_signal_connect(window_, "focus-in-event", G_CALLBACK(&SplashWindow::OnFocusIn), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(&SplashWindow::OnDestroy), this);

    const GdkRectangle area = CentreArea(frame_);
    gtk_window_move(window_, area.x + (area.width - width) / 2, area.y + (area.height - height) / 2);
    gtk_widget_show(GTK_WIDGET(window_));
    timer_ = g_timeout_add(static_cast<guint>(timeout_ms > 0 ? timeout_ms : 0),
                           &SplashWindow::OnTimer, this);
  }

  ~SplashWindow() override { Close(); }

  bool visible() const override {
    return window_ != nullptr && gtk_widget_get_visible(GTK_WIDGET(window_));
  }
  GtkWindow* window() const override { return window_; }

  void Close() override {
    if (timer_ != 0) {
      g_source_remove(timer_);
      timer_ = 0;
    }
    if (window_ != nullptr) {
      GtkWindow* window = window_;
      window_ = nullptr;
      gtk_widget_destroy(GTK_WIDGET(window));
    }
  }

 private:
  static gboolean OnDraw(GtkWidget*, cairo_t* cr, gpointer self) {
    // 1:1, no background first: the picture covers the whole window.
    gdk_cairo_set_source_pixbuf(cr, static_cast<SplashWindow*>(self)->picture_.get(), 0, 0);
    cairo_paint(cr);
    return TRUE;
  }

  static gboolean OnFocusIn(GtkWidget*, GdkEvent*, gpointer self) {
    // The splash is never the active window: activation goes to the frame.
    auto* splash = static_cast<SplashWindow*>(self);
    if (splash->frame_ != nullptr && gtk_widget_get_visible(GTK_WIDGET(splash->frame_))) {
      gtk_window_present(splash->frame_);
    }
    return FALSE;
  }

  static void OnDestroy(GtkWidget*, gpointer self) {
    auto* splash = static_cast<SplashWindow*>(self);
    splash->window_ = nullptr;
    if (splash->timer_ != 0) {
      g_source_remove(splash->timer_);
      splash->timer_ = 0;
    }
  }

  static gboolean OnTimer(gpointer self) {
    auto* splash = static_cast<SplashWindow*>(self);
    splash->timer_ = 0;
    // Copied first: the callback may delete this splash.
    std::function<void()> on_timeout = std::move(splash->on_timeout_);
    splash->Close();
    if (on_timeout) on_timeout();
    return G_SOURCE_REMOVE;
  }

  PixbufHandle picture_;
  GtkWindow* frame_;
  std::function<void()> on_timeout_;
  GtkWindow* window_ = nullptr;
  guint timer_ = 0;
};

}  // namespace

std::unique_ptr<CSplashWindow> CSplashWindow::Create(int bitmap_id, GtkWindow* frame,
                                                     int timeout_ms) {
  return Create(bitmap_id, frame, timeout_ms, nullptr);
}

std::unique_ptr<CSplashWindow> CSplashWindow::Create(int bitmap_id, GtkWindow* frame,
                                                     int timeout_ms,
                                                     std::function<void()> on_timeout) {
  // The sound starts first and plays on its own, splash or not.
  PlayResourceSound(kStartupSound);
  PixbufHandle picture = LoadPicture(bitmap_id);
  if (!picture) {
    LogError("No splash picture %d; starting without a splash.", bitmap_id);
    return nullptr;
  }
  return std::make_unique<SplashWindow>(std::move(picture), frame, timeout_ms,
                                        std::move(on_timeout));
}

}  // namespace quol::client
