#include "screensaver/widgets/clock.h"

#include <glib.h>
#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <utility>

#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"

namespace quol::saver {
namespace {

// Alpha of the reflection where it leaves the text and where it ends.
constexpr double kReflectionNearAlpha = 0x5A / 255.0;
constexpr double kReflectionFarAlpha = 0x1E / 255.0;
constexpr double kReflectionSquash = 0.7;

bool IsFlag(char c) { return c == '_' || c == '-' || c == '0' || c == '^' || c == '#'; }
bool IsAsciiSeparator(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x80 && (c == ' ' || std::ispunct(u));
}

std::string StripSeconds(std::string_view format, int depth) {
  std::string out;
  std::size_t literal_from = 0;  // out[literal_from..] is literal text since the last conversion
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    // One conversion: %, flags, width, E/O modifier, conversion character.
    std::size_t j = i + 1;
    std::string flags;
    while (j < format.size() && IsFlag(format[j])) flags += format[j++];
    std::string width;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9') width += format[j++];
    std::string modifier;
    if (j < format.size() && (format[j] == 'E' || format[j] == 'O')) modifier += format[j++];
    if (j >= format.size()) {  // a lone % at the end: keep it as it is
      out.append(format.substr(i));
      break;
    }
    const char conversion = format[j];
    const std::string_view whole = format.substr(i, j + 1 - i);
    i = j + 1;
    switch (conversion) {
      case 'S':
        // "%H:%M:%S" loses ":%S"; "%H時%M分%S秒" loses "%S秒" (the unit
        // after the seconds, written in a non-ASCII script).
        if (out.size() > literal_from && IsAsciiSeparator(out.back())) out.pop_back();
        while (i < format.size() && static_cast<unsigned char>(format[i]) >= 0x80) ++i;
        continue;
      case 'T':
        out += "%H:%M";
        break;
      case 'r':
        out += "%-I:%M %p";
        break;
      case 'X':
        if (depth < 2) {
          out += StripSeconds(nl_langinfo(T_FMT), depth + 1);
        } else {
          out += "%H:%M";
        }
        break;
      case 'I':
      case 'l':
        out += '%';
        out += flags.empty() ? std::string("-") : flags;
        out += width + modifier + conversion;
        break;
      default:
        out.append(whole);
    }
    literal_from = out.size();
  }
  return out;
}

void EraseAll(std::string& text, std::string_view what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
}

// Trims ASCII white space and the no-break spaces some locales put between
// the time and the marker.
std::string TrimBlanks(std::string text) {
  static constexpr std::string_view kBlanks[] = {" ", "\t", "\n", "\r", "\xC2\xA0", "\xE2\x80\xAF"};
  bool trimmed = true;
  while (trimmed && !text.empty()) {
    trimmed = false;
    for (std::string_view blank : kBlanks) {
      if (text.size() >= blank.size() && text.compare(0, blank.size(), blank) == 0) {
        text.erase(0, blank.size());
        trimmed = true;
      }
      if (text.size() >= blank.size() &&
          text.compare(text.size() - blank.size(), blank.size(), blank) == 0) {
        text.erase(text.size() - blank.size());
        trimmed = true;
      }
    }
  }
  return text;
}

// The user's LC_TIME locale, made once. The "C" locale when the
// environment names one that is not installed.
locale_t UserTimeLocale() {
  static const locale_t locale = [] {
    locale_t made = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (made == static_cast<locale_t>(nullptr)) {
      made = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    }
    return made;
  }();
  return locale;
}

class ScopedThreadLocale {
 public:
  explicit ScopedThreadLocale(locale_t locale)
      : previous_(locale != static_cast<locale_t>(nullptr) ? uselocale(locale)
                                                           : static_cast<locale_t>(nullptr)) {}
  ~ScopedThreadLocale() {
    if (previous_ != static_cast<locale_t>(nullptr)) uselocale(previous_);
  }
  ScopedThreadLocale(const ScopedThreadLocale&) = delete;
  ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;

 private:
  locale_t previous_;
};

WidgetSize TextSize(cairo_t* cr, const PangoFontDescription* font, const std::string& text) {
  ContextPtr scratch;
  if (cr == nullptr) {
    scratch = MakeMeasuringContext();
    cr = scratch.get();
  }
  LayoutPtr layout = MakeLayout(cr, font, text);
  return LogicalPixelSize(layout.get());
}

WidgetSize WithReflection(WidgetSize text) {
  return WidgetSize{text.width, static_cast<int>(text.height * Clock::kHeightFactor)};
}

}  // namespace

std::string TimeFormatWithoutSeconds(std::string_view format) { return StripSeconds(format, 0); }

std::string FormatClockTime(std::string_view format, const platform::CalendarTime& time) {
  const std::string without_seconds = TimeFormatWithoutSeconds(format);
  const std::tm tm = platform::ToTm(time);
  char buffer[256];
  const std::size_t length = std::strftime(buffer, sizeof buffer, without_seconds.c_str(), &tm);
  std::string text(buffer, length);
  for (std::string_view marker : {"AM", "PM", "am", "pm"}) EraseAll(text, marker);
  return TrimBlanks(std::move(text));
}

std::string UserTimeFormat() {
  const locale_t locale = UserTimeLocale();
  if (locale == static_cast<locale_t>(nullptr)) return "%H:%M:%S";
  std::string format = nl_langinfo_l(T_FMT, locale);
  const std::string twelve_hour = nl_langinfo_l(T_FMT_AMPM, locale);
  if (const std::size_t at = format.find("%r"); at != std::string::npos && !twelve_hour.empty()) {
    format.replace(at, 2, twelve_hour);
  }
  return format.empty() ? "%H:%M:%S" : format;
}

std::string UserClockTime(const platform::CalendarTime& time) {
  std::string text;
  {
    ScopedThreadLocale scope(UserTimeLocale());
    text = FormatClockTime(UserTimeFormat(), time);
  }
  // A locale in another character set than UTF-8 cannot be drawn.
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
    text = FormatClockTime("%H:%M", time);  // digits only, in any locale
  }
  return text;
}

SurfacePtr MakeReflectedText(const std::string& text, const PangoFontDescription* font, int bw, int bh,
                             double red, double green, double blue) {
  if (bw <= 0 || bh <= 0) return nullptr;
  SurfacePtr image = MakeArgbSurface(bw, bh);
  if (!image) return nullptr;
  ContextPtr holder = MakeContext(image.get());
  cairo_t* cr = holder.get();
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_GRAY);

  LayoutPtr layout = MakeLayout(cr, font, text);
  cairo_set_source_rgba(cr, red, green, blue, 1);
  cairo_move_to(cr, 0, 0);
  pango_cairo_show_layout(cr, layout.get());

  const FontMetricsPx metrics = LayoutFontMetrics(layout.get());
  const WidgetSize size = LogicalPixelSize(layout.get());
  if (size.width <= 0 || size.height <= 0) return image;

  // The text again, fainter towards its own bottom edge, which becomes the
  // reflection's top once flipped.
  SurfacePtr reflection = MakeArgbSurface(size.width, size.height);
  if (!reflection) return image;
  {
    ContextPtr rholder = MakeContext(reflection.get());
    cairo_t* rcr = rholder.get();
    LayoutPtr rlayout = MakeLayout(rcr, font, text);
    PatternPtr fade(cairo_pattern_create_linear(0, 0, 0, size.height));
    cairo_pattern_add_color_stop_rgba(fade.get(), 0, red, green, blue, kReflectionFarAlpha);
    cairo_pattern_add_color_stop_rgba(fade.get(), 1, red, green, blue, kReflectionNearAlpha);
    cairo_set_source(rcr, fade.get());
    cairo_move_to(rcr, 0, 0);
    pango_cairo_show_layout(rcr, rlayout.get());
  }
  cairo_surface_flush(reflection.get());

  // Flipped into (0, d, tw, 0.7 th), starting a little above the baseline
  // so that the mirrored baseline meets the text's own.
  const double top = (metrics.height() - metrics.descent) - 0.6 * metrics.descent;
  cairo_save(cr);
  cairo_translate(cr, 0, top + kReflectionSquash * size.height);
  cairo_scale(cr, 1, -kReflectionSquash);
  cairo_set_source_surface(cr, reflection.get(), 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_flush(image.get());
  return image;
}

Clock::Clock() = default;

Clock::Clock(std::string time_format) : time_format_(std::move(time_format)) {}

std::string Clock::Text() const {
  const platform::CalendarTime now = platform::LocalNow();
  return time_format_.empty() ? UserClockTime(now) : FormatClockTime(time_format_, now);
}

WidgetSize Clock::Measure(cairo_t* cr) {
  FontHandle font = MakeFont(kPrivateFontFamily, kPoints);
  return WithReflection(TextSize(cr, font.get(), Text()));
}

void Clock::Draw(cairo_t* cr, int x, int y, int width, int height) {
  if (width <= 0 || height <= 0) return;
  FontHandle font = MakeFont(kPrivateFontFamily, kPoints);
  const std::string text = Text();
  const WidgetSize natural = WithReflection(TextSize(cr, font.get(), text));
  SurfacePtr image = MakeReflectedText(text, font.get(), natural.width, natural.height);
  if (!image) return;

  int left = x;
  int shown_width = width;
  if (alignment_ != kLeft && natural.width < width) {
    shown_width = natural.width;
    left = x + (alignment_ == kCentre ? (width - natural.width) / 2 : width - natural.width);
  }
  cairo_save(cr);
  cairo_translate(cr, left, y);
  cairo_scale(cr, static_cast<double>(shown_width) / natural.width,
              static_cast<double>(height) / natural.height);
  cairo_set_source_surface(cr, image.get(), 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

}  // namespace quol::saver
