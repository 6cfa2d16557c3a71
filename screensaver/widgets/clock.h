// The clock at the bottom of the widget stack: the time of day in large
// white figures over a faint, squashed mirror image of themselves, in the
// user's own time format without seconds and without an AM/PM marker.
#pragma once

#include <pango/pango.h>

#include <string>
#include <string_view>

#include "platform/clock/clock.h"
#include "screensaver/common/cairo_ptr.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

// Turns a strftime time format into the same format without seconds: "%T"
// becomes "%H:%M", "%r" "%I:%M %p", and "%S" (also "%OS", "%ES") goes
// together with the one separator character before it. 12-hour figures
// ("%I", "%l") lose their padding: the clock shows "9:05", not "09:05".
std::string TimeFormatWithoutSeconds(std::string_view format);

// The clock's text for `time` in `format` (a strftime time format, e.g. the
// locale's): seconds dropped as above, formatted with the calling thread's
// locale, every "AM", "PM", "am" and "pm" removed and the ends trimmed.
std::string FormatClockTime(std::string_view format, const platform::CalendarTime& time);

// The user's time format: LC_TIME of the environment (LC_ALL, LC_TIME,
// LANG), "%r" spelt out with the locale's 12-hour format. "%H:%M:%S" when the
// locale is not installed.
std::string UserTimeFormat();

// FormatClockTime in the user's time format and LC_TIME locale, without
// touching the process's global locale.
std::string UserClockTime(const platform::CalendarTime& time);

// Text with a reflection below it, in a new bw x bh ARGB surface: the text
// at (0, 0) in `rgb` (opaque), and under it the text again, flipped and
// squashed to 70 % of its height, fading from 0x5A alpha near the text to
// 0x1E. Null when the size is empty.
SurfacePtr MakeReflectedText(const std::string& text, const PangoFontDescription* font, int bw, int bh,
                             double red = 1, double green = 1, double blue = 1);

class Clock : public ISlideWidget {
 public:
  enum Alignment : int { kLeft = 0, kCentre = 1, kRight = 2 };
  static constexpr double kPoints = 50;  // in kPrivateFontFamily
  // The reflection adds this much to the text's height.
  static constexpr double kHeightFactor = 1.7;

  // Shows platform::LocalNow() in the user's format.
  Clock();
  // Shows platform::LocalNow() in `time_format` (a strftime time format,
  // seconds are still dropped); for tests and fixed layouts.
  explicit Clock(std::string time_format);

  Alignment alignment() const { return alignment_; }
  void set_alignment(Alignment alignment) { alignment_ = alignment; }

  // The text the clock shows right now.
  std::string Text() const;

  // (w, trunc(h * 1.7)) with (w, h) the text's size. `cr` may be null.
  WidgetSize Measure(cairo_t* cr) override;
  // Draws the text with its reflection, made at the measured size and
  // stretched into the rectangle. Centred and right alignment keep the
  // measured width when it is narrower than the rectangle and move the
  // picture instead.
  void Draw(cairo_t* cr, int x, int y, int width, int height) override;

 private:
  std::string time_format_;  // empty: the user's
  Alignment alignment_ = kLeft;
};

}  // namespace quol::saver
