#include "screensaver/collage/overlays.h"

#include <algorithm>

#include "foundation/config/cobrand_module.h"
#include "platform/clock/clock.h"
#include "screensaver/common/random.h"
#include "screensaver/widgets/clock.h"
#include "screensaver/widgets/collage_widget_stack.h"
#include "screensaver/widgets/debug_info_widget.h"
#include "screensaver/widgets/image_widget.h"
#include "screensaver/widgets/png_resource.h"
#include "screensaver/widgets/session_status.h"
#include "screensaver/widgets/text_widget.h"

namespace quol::saver {

std::string NoticeText(bool restricted, bool narrow_screen) {
  if (restricted) {
    return narrow_screen
               ? "Upgrade available: Please run Quol."
               : "An upgrade for this screen saver is available. Run Quol from the Start menu.";
  }
  return narrow_screen ? "Upgrade available: Press \u201cC\u201d."
                       : "An upgrade for this screen saver is available \u2014 Press the "
                         "\u201cC\u201d key to install it.";
}

CollageOverlays::CollageOverlays(OverlayEnvironment environment)
    : environment_(std::move(environment)) {}

int CollageOverlays::ChooseStackCorner() {
  if (environment_.debug_mode) return (Random31() & 1u) != 0 ? 3 : 2;
  // Bottom-left for minutes 0-14 and 30-44, bottom-right for the others.
  return 2 + ((platform::UtcNow().minute / 15) & 1);
}

CollageWidgetStack& CollageOverlays::GetOrCreateStack(Collage& collage) {
  if (!collage.stack) {
    auto stack = std::make_unique<CollageWidgetStack>();
    stack->Add(std::make_unique<Clock>());
    if (environment_.make_appointments) {
      if (std::unique_ptr<ISlideWidget> appointments = environment_.make_appointments()) {
        stack->Add(std::move(appointments));
      }
    }
    const bool shift_d = environment_.shift_d_held && environment_.shift_d_held();
    if (environment_.debug_mode || shift_d) stack->Add(std::make_unique<DebugInfoWidget>());
    collage.stack = std::move(stack);
  }
  return *collage.stack;
}

WidgetSize CollageOverlays::MeasureStack(Collage& collage, cairo_t* cr) {
  return GetOrCreateStack(collage).Measure(cr);
}

WidgetSize CollageOverlays::ClockSize(Collage& collage, cairo_t* cr) {
  CollageWidgetStack& stack = GetOrCreateStack(collage);
  return stack.count() > 0 ? stack.widget(0).Measure(cr) : WidgetSize{};
}

void CollageOverlays::PlaceLogo(Collage& collage, cairo_t*, int corner) {
  SurfacePtr image;
  if (corner == 2) {
    image = LoadPngResource(environment_.module, "PartnerSlideshowLogo", true);
    if (!image) image = LoadPngResource(nullptr, "CollageLogo_left", false);
  } else {
    image = LoadPngResource(nullptr, "CollageLogo_right", false);
  }
  if (!image) return;
  auto logo = std::make_unique<ImageWidget>(std::move(image));
  const WidgetSize size = logo->Measure(nullptr);
  const int m = collage.m();
  collage.logo_rect = Rect{corner == 2 ? 3 * m : collage.width() - 3 * m - size.width,
                           collage.height() - 3 * m - size.height, size.width, size.height};
  collage.logo = std::move(logo);
}

void CollageOverlays::PlaceStack(Collage& collage, WidgetSize size, int corner, cairo_t* cr) {
  CollageWidgetStack& stack = GetOrCreateStack(collage);
  stack.set_alignment(corner == 2 ? CollageWidgetStack::kLeft : CollageWidgetStack::kRight);
  const int m = collage.m();
  const int clock_height = ClockSize(collage, cr).height;
  // The placement rectangle reaches ch / 6 below the bottom edge, so part of
  // the clock's reflection is cut off there.
  const Rect area{2 * m, clock_height / 6, collage.width() - 4 * m, collage.height()};
  const int x = corner == 3 ? area.x + area.width - size.width : area.x;
  const int y = area.y + area.height - size.height;
  collage.stack_rect = Rect{x, y, size.width, size.height};
}

void CollageOverlays::PlaceNoticeStrip(Collage& collage, cairo_t* cr) {
  std::string text;
  if (environment_.upgrade_available && environment_.upgrade_available()) {
    if (!notice_toggle_) {
      const bool restricted = environment_.restricted_session ? environment_.restricted_session()
                                                              : IsRestrictedSession();
      const int screen = environment_.primary_screen_width > 0 ? environment_.primary_screen_width
                                                               : collage.width();
      text = NoticeText(restricted, screen <= 800);
    }
    notice_toggle_ = !notice_toggle_;
  }
  auto strip = std::make_unique<TextWidget>(text);
  const int text_height = strip->Measure(cr).height;
  const int clock_width = ClockSize(collage, cr).width;
  const int area_y = collage.stack_rect.y;
  const int strip_y = std::max(area_y, collage.height() - text_height);
  collage.strip_rect = Rect{clock_width, strip_y, collage.width() - 2 * clock_width,
                            collage.height() - strip_y};
  collage.strip = std::move(strip);
}

int CollageOverlays::BottomBandHeight(const Collage& collage) {
  return std::max(collage.strip_rect.height, collage.logo_rect.height + 3 * collage.m());
}

SurfacePtr ComposeDisplayBitmap(Collage& collage) {
  if (!collage.has_bitmap()) return nullptr;
  SurfacePtr copy = CopySurface(collage.bitmap());
  if (!copy || !collage.stack) return copy;
  ContextPtr holder = MakeContext(copy.get());
  cairo_t* cr = holder.get();
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_GOOD);
  auto draw = [cr](ISlideWidget* widget, const Rect& r) {
    if (widget == nullptr) return;
    cairo_save(cr);
    widget->Draw(cr, r.x, r.y, r.width, r.height);
    cairo_restore(cr);
  };
  draw(collage.logo.get(), collage.logo_rect);
  draw(collage.strip.get(), collage.strip_rect);
  draw(collage.stack.get(), collage.stack_rect);
  cairo_surface_flush(copy.get());
  return copy;
}

}  // namespace quol::saver
