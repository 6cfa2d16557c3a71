#include "screensaver/slides/message_slide.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <mutex>

#include "screensaver/common/random.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"
#include "screensaver/widgets/png_resource.h"

namespace quol::saver {
namespace {

constexpr double kSlidePoints = 14.0;

// The logo is loaded once per process and kept.
cairo_surface_t* PanelLogo() {
  static std::once_flag once;
  static SurfacePtr logo;
  std::call_once(once, [] { logo = LoadPngResource(nullptr, "CollageNoImagesLogo", false); });
  return logo.get();
}

struct LayoutDeleter {
  void operator()(PangoLayout* layout) const { g_object_unref(layout); }
};

}  // namespace

SurfacePtr RenderMessagePanel(const std::string& text) {
  cairo_surface_t* logo = PanelLogo();
  const int logo_width = logo != nullptr ? cairo_image_surface_get_width(logo) : 0;
  const int logo_height = logo != nullptr ? cairo_image_surface_get_height(logo) : 0;

  FontHandle font = MakeFont("Futura Bk BT", kSlidePoints);
  double line = 0;
  {
    SurfacePtr probe = MakeArgbSurface(1, 1);
    ContextPtr probe_cr = MakeContext(probe.get());
    line = FontMetricsFor(probe_cr.get(), font.get()).height();
  }
  const int height = static_cast<int>(7 * line + logo_height);
  SurfacePtr panel = MakeArgbSurface(kPanelWidth, height);
  if (!panel) return nullptr;
  ContextPtr holder = MakeContext(panel.get());
  cairo_t* cr = holder.get();
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);
  if (logo != nullptr) {
    cairo_set_source_surface(cr, logo, (kPanelWidth - logo_width) / 2, 0);
    cairo_paint(cr);
  }

  const int top = static_cast<int>(2 * line + logo_height);
  std::unique_ptr<PangoLayout, LayoutDeleter> layout(pango_cairo_create_layout(cr));
  pango_layout_set_font_description(layout.get(), font.get());
  pango_layout_set_text(layout.get(), text.c_str(), -1);
  pango_layout_set_width(layout.get(), kPanelWidth * PANGO_SCALE);
  pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD);
  pango_layout_set_alignment(layout.get(), PANGO_ALIGN_CENTER);
  cairo_rectangle(cr, 0, top, kPanelWidth, height - top);
  cairo_clip(cr);
  cairo_move_to(cr, 0, top);
  cairo_set_source_rgb(cr, 1, 1, 1);
  pango_cairo_show_layout(cr, layout.get());
  cairo_surface_flush(panel.get());
  return panel;
}

double PanelScale(int screen_width, int screen_height, int panel_width, int panel_height) {
  if (panel_width <= 0 || panel_height <= 0) return 1.0;
  // 50 pixels each side where the screen has room for them; a tenth of the
  // screen each side where it has not.
  auto room = [](int screen) {
    return static_cast<double>(screen - std::min(2 * kPanelMargin, screen / 5));
  };
  const double scale = std::min({1.0, room(screen_width) / panel_width,
                                 room(screen_height) / panel_height});
  return std::max(scale, 0.0);
}

void PlacePanel(int screen_width, int screen_height, int panel_width, int panel_height,
                std::uint32_t r1, std::uint32_t r2, int* x, int* y) {
  auto place = [](int screen, int panel, std::uint32_t r) {
    long long d = static_cast<long long>(screen) - panel - 2 * kPanelMargin;
    // No room for the margins on both sides: centred, so the panel is whole.
    if (d < 0) return std::max(0, (screen - panel) / 2);
    if (d == 0) d = 1;
    return static_cast<int>(kPanelMargin + static_cast<long long>(r) % d);
  };
  *x = place(screen_width, panel_width, r1);
  *y = place(screen_height, panel_height, r2);
}

SurfacePtr RenderMessageSlide(const std::string& text, int screen_width, int screen_height) {
  SurfacePtr screen = MakeArgbSurface(screen_width, screen_height);
  if (!screen) return nullptr;
  ContextPtr cr = MakeContext(screen.get());
  cairo_set_source_rgb(cr.get(), 0, 0, 0);
  cairo_paint(cr.get());
  SurfacePtr panel = RenderMessagePanel(text);
  const double scale =
      panel ? PanelScale(screen_width, screen_height, cairo_image_surface_get_width(panel.get()),
                         cairo_image_surface_get_height(panel.get()))
            : 0.0;
  if (scale > 0) {
    const int panel_width = cairo_image_surface_get_width(panel.get());
    const int panel_height = cairo_image_surface_get_height(panel.get());
    const int shown_width = static_cast<int>(panel_width * scale);
    const int shown_height = static_cast<int>(panel_height * scale);
    int x = 0, y = 0;
    const std::uint32_t r1 = Random31();
    const std::uint32_t r2 = Random31();
    PlacePanel(screen_width, screen_height, shown_width, shown_height, r1, r2, &x, &y);
    cairo_translate(cr.get(), x, y);
    cairo_scale(cr.get(), scale, scale);
    cairo_set_source_surface(cr.get(), panel.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_GOOD);
    cairo_rectangle(cr.get(), 0, 0, panel_width, panel_height);
    cairo_fill(cr.get());
  }
  cairo_surface_flush(screen.get());
  return screen;
}

void PendingNotice::Set(const std::string& text, bool sticky) {
  if (sticky_ && !sticky && pending()) return;
  text_ = text;
  sticky_ = sticky;
}

void PendingNotice::Shown() {
  if (!sticky_) {
    text_.clear();
  }
}

void TipList::Fill(bool upgrade_available, const std::vector<std::string>& configured_tips,
                   bool restricted_session) {
  tips_.clear();
  if (upgrade_available) {
    tips_.push_back(kNewVersionTip);
    return;
  }
  for (const std::string& tip : configured_tips) {
    if (tip.empty()) break;
    if (tip[0] == '!') {
      if (!restricted_session) tips_.push_back(tip.substr(1));
    } else {
      tips_.push_back(tip);
    }
  }
}

std::string TipList::Pick() const {
  if (tips_.empty()) return "Quol Collage";
  return tips_[Random31() % tips_.size()];
}

}  // namespace quol::saver
