// The busy indicator that floats over the frame while a page loads: a small
// translucent white card with rounded corners and a spinner.
#include <algorithm>
#include <cmath>

#include "client/windows/client_windows.h"

namespace quol::client {
namespace {

// 58 x 48 dialog units of an 8-point dialog font.
constexpr int kWidth = 88;
constexpr int kHeight = 78;
constexpr int kCornerDiameter = 16;
constexpr double kOpacity = 204.0 / 255.0;
constexpr int kSpinnerSide = 32;
// Quickly following navigations must not make it flicker.
constexpr guint kHideDelayMs = 200;

// The card's outline: a rectangle whose corners are quarter ellipses of
// kCornerDiameter, as a region of whole pixel rows.
cairo_region_t* RoundedRegion(int width, int height) {
  cairo_region_t* region = cairo_region_create();
  const double r = kCornerDiameter / 2.0;
  for (int y = 0; y < height; ++y) {
    // Distance of this row's centre from the nearest corner circle's centre.
    const double centre = y + 0.5;
    double dy = 0;
    if (centre < r) dy = r - centre;
    if (centre > height - r) dy = centre - (height - r);
    const int inset = dy > 0 ? static_cast<int>(std::lround(r - std::sqrt(std::max(0.0, r * r - dy * dy))))
                             : 0;
    const cairo_rectangle_int_t row{inset, y, width - 2 * inset, 1};
    cairo_region_union_rectangle(region, &row);
  }
  return region;
}

class ProgressWindow final : public CProgressWindow {
 public:
  explicit ProgressWindow(GtkWindow* owner) : owner_(owner) {
    // A popup: never managed, never activated, so the keyboard stays with
    // the frame whatever happens here.
    window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_POPUP));
    gtk_widget_set_name(GTK_WIDGET(window_), "505");
    gtk_window_set_accept_focus(window_, FALSE);
    gtk_window_set_focus_on_map(window_, FALSE);
    gtk_window_set_skip_taskbar_hint(window_, TRUE);
    gtk_window_set_skip_pager_hint(window_, TRUE);
    gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_NOTIFICATION);
    if (owner_ != nullptr) gtk_window_set_transient_for(window_, owner_);
    gtk_window_set_default_size(window_, kWidth, kHeight);
    gtk_widget_set_size_request(GTK_WIDGET(window_), kWidth, kHeight);
    gtk_widget_set_opacity(GTK_WIDGET(window_), kOpacity);
    gtk_widget_set_app_paintable(GTK_WIDGET(window_), TRUE);
    g_signal_connect(window_, "draw", G_CALLBACK(&ProgressWindow::OnDraw), nullptr);
    g_signal_connect(window_, "realize", G_CALLBACK(&ProgressWindow::OnRealize), nullptr);

    spinner_ = gtk_spinner_new();
    gtk_widget_set_name(spinner_, "2003");
    gtk_widget_set_size_request(spinner_, kSpinnerSide, kSpinnerSide);
    gtk_widget_set_halign(spinner_, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(spinner_, GTK_ALIGN_CENTER);
    gtk_container_add(GTK_CONTAINER(window_), spinner_);
    gtk_widget_show(spinner_);
    if (owner_ != nullptr) {
      owner_destroy_ = g_signal_connect(owner_, "destroy", G_CALLBACK(&ProgressWindow::OnOwnerGone), this);
    }
  }

  ~ProgressWindow() override {
    CancelHide();
    if (owner_ != nullptr && owner_destroy_ != 0) g_signal_handler_disconnect(owner_, owner_destroy_);
    if (window_ != nullptr) gtk_widget_destroy(GTK_WIDGET(window_));
  }

  void Show() override {
    if (window_ == nullptr) return;
    if (!gtk_widget_get_visible(GTK_WIDGET(window_))) {
      shown_ = true;
      Recentre();
      gtk_spinner_start(GTK_SPINNER(spinner_));
      gtk_widget_show(GTK_WIDGET(window_));
      return;
    }
    // A navigation follows the last one closely: stay up without a fade.
    keep_ = true;
    CancelHide();
  }

  void RequestHide() override {
    if (window_ == nullptr) return;
    keep_ = false;
    CancelHide();
    hide_timer_ = g_timeout_add(kHideDelayMs, &ProgressWindow::OnHideTimer, this);
  }

  void Recentre() override {
    if (!shown_ || window_ == nullptr || owner_ == nullptr) return;
    int x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(owner_, &x, &y);
    gtk_window_get_size(owner_, &width, &height);
    gtk_window_move(window_, x + (width - kWidth) / 2, y + (height - kHeight) / 2);
  }

  bool visible() const override {
    return window_ != nullptr && gtk_widget_get_visible(GTK_WIDGET(window_));
  }
  bool hide_pending() const override { return hide_timer_ != 0; }
  GtkWindow* window() const override { return window_; }

 private:
  void CancelHide() {
    if (hide_timer_ != 0) {
      g_source_remove(hide_timer_);
      hide_timer_ = 0;
    }
  }

  static gboolean OnHideTimer(gpointer self) {
    auto* progress = static_cast<ProgressWindow*>(self);
    progress->hide_timer_ = 0;
    if (progress->keep_) return G_SOURCE_REMOVE;
    if (progress->visible()) {
      gtk_widget_hide(GTK_WIDGET(progress->window_));
      gtk_spinner_stop(GTK_SPINNER(progress->spinner_));
      progress->shown_ = false;
    }
    return G_SOURCE_REMOVE;
  }

  static void OnRealize(GtkWidget* widget, gpointer) {
    cairo_region_t* region = RoundedRegion(kWidth, kHeight);
    gtk_widget_shape_combine_region(widget, region);
    cairo_region_destroy(region);
  }

  static gboolean OnDraw(GtkWidget* widget, cairo_t* cr, gpointer) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(widget));
    if (child != nullptr) gtk_container_propagate_draw(GTK_CONTAINER(widget), child, cr);
    return TRUE;
  }

  static void OnOwnerGone(GtkWidget*, gpointer self) {
    // Destroyed with the frame, as a child of it would be.
    auto* progress = static_cast<ProgressWindow*>(self);
    progress->CancelHide();
    progress->owner_ = nullptr;
    progress->owner_destroy_ = 0;
    if (progress->window_ != nullptr) {
      GtkWindow* window = progress->window_;
      progress->window_ = nullptr;
      gtk_widget_destroy(GTK_WIDGET(window));
    }
  }

  GtkWindow* owner_;
  gulong owner_destroy_ = 0;
  GtkWindow* window_ = nullptr;
  GtkWidget* spinner_ = nullptr;
  guint hide_timer_ = 0;
  bool shown_ = false;
  bool keep_ = false;
};

}  // namespace

std::unique_ptr<CProgressWindow> CProgressWindow::Create(GtkWindow* owner) {
  return std::make_unique<ProgressWindow>(owner);
}

}  // namespace quol::client
