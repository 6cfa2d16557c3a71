#include "screensaver/appointments/appointment_reminders.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/testing/log_capture.h"
#include "screensaver/appointments/appointment_test_util.h"

namespace quol::saver {
namespace {

using test::AllDay;
using test::LocalAt;
using test::Timed;

constexpr std::uint32_t kLaterGrey = 0x9F9F9F;
constexpr std::uint32_t kTrailingGrey = 0x8D8D8D;

// Today is 10 March 2026, one hour east of UTC.
class AppointmentGroupingTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetClockForTesting(&clock_); }
  void TearDown() override { platform::SetClockForTesting(nullptr); }

  static std::vector<int> GroupsAt(platform::TimePoint now, std::vector<Appointment> list) {
    AssignGroups(list, now);
    std::vector<int> groups;
    for (const Appointment& a : list) groups.push_back(a.group);
    return groups;
  }

  test::ScopedTimeZone zone_{"QST-1"};
  platform::FakeClock clock_;
};

TEST_F(AppointmentGroupingTest, TheFiveRulesWithTheirEdges) {
  // 14:30: within the hour is "now", the rest of today "later", nothing of tomorrow.
  EXPECT_EQ(GroupsAt(LocalAt(10, 14, 30),
                     {Timed("15:10", LocalAt(10, 15, 10)), Timed("16:00", LocalAt(10, 16, 0)),
                      Timed("15:30", LocalAt(10, 15, 30)), Timed("4 ago", LocalAt(10, 14, 26)),
                      Timed("5 ago", LocalAt(10, 14, 25)), Timed("6 ago", LocalAt(10, 14, 24)),
                      AllDay("today", 10), AllDay("yesterday", 9), Timed("t 09:00", LocalAt(11, 9, 0)),
                      AllDay("tomorrow", 11)}),
            (std::vector<int>{0, 1, 1, 0, 0, -1, 0, -1, -1, -1}));
  // 16:00: tomorrow up to the same time of day.
  EXPECT_EQ(GroupsAt(LocalAt(10, 16, 0),
                     {Timed("t 09:00", LocalAt(11, 9, 0)), Timed("t 17:00", LocalAt(11, 17, 0)),
                      Timed("t 16:00", LocalAt(11, 16, 0)), Timed("t 15:59", LocalAt(11, 15, 59)),
                      AllDay("tomorrow", 11), AllDay("day after", 12)}),
            (std::vector<int>{2, -1, -1, 2, 2, -1}));
  // 23:30: "soon" ends at midnight, so nothing is "later".
  EXPECT_EQ(GroupsAt(LocalAt(10, 23, 30),
                     {Timed("23:50", LocalAt(10, 23, 50)), Timed("t 00:10", LocalAt(11, 0, 10))}),
            (std::vector<int>{0, 2}));
}

TEST_F(AppointmentGroupingTest, ACollageKeepsTheGroupsItWasBuiltWith) {
  const std::vector<Appointment> list = {Timed("Piano", LocalAt(10, 17, 0)),
                                         Timed("Dentist", LocalAt(11, 9, 0))};
  clock_.Set(LocalAt(10, 14, 59));
  testing::LogCapture log;
  AppointmentReminders built_before_three(list);
  EXPECT_TRUE(log.Contains("INFO Valid: 1\r\n"));
  const WidgetSize size = built_before_three.Measure(nullptr);

  clock_.Set(LocalAt(10, 15, 0));
  EXPECT_EQ(built_before_three.group_count(2), 0);
  EXPECT_EQ(built_before_three.Measure(nullptr), size);
  SurfacePtr surface = test::FilledSurface(300, 300, 0, 0, 0);
  built_before_three.Draw(MakeContext(surface.get()).get(), 0, 0, 300, 300);
  EXPECT_FALSE(test::HasSideLine(surface.get(), kTrailingGrey, 5));  // no "T O M O R R O W"
  EXPECT_EQ(AppointmentReminders(list).group_count(2), 1);

  AppointmentReminders nothing({Timed("Yesterday", LocalAt(9, 10, 0)), Appointment{}});
  EXPECT_FALSE(nothing.valid());
  EXPECT_TRUE(log.Contains("INFO Valid: 0\r\n"));
  EXPECT_EQ(nothing.Measure(nullptr), (WidgetSize{0, 0}));
}

// At 16:00 all three groups can be filled: 16:10 is now, 19:00 later,
// 10:00 tomorrow.
class AppointmentDrawingTest : public AppointmentGroupingTest {
 protected:
  void SetUp() override {
    AppointmentGroupingTest::SetUp();
    clock_.Set(LocalAt(10, 16, 0));
  }
  static std::vector<Appointment> Groups(int now, int later, int tomorrow) {
    std::vector<Appointment> list;
    for (int i = 0; i < now; ++i) list.push_back(Timed("Now", LocalAt(10, 16, 10 + i)));
    for (int i = 0; i < later; ++i) {
      list.push_back(Timed("Music lessons at the old school hall", LocalAt(10, 19, i)));
    }
    for (int i = 0; i < tomorrow; ++i) list.push_back(Timed("Dentist", LocalAt(11, 10, i)));
    return list;
  }
  // Draws into (0, 0, 300, height) on a black surface of 300 x 400.
  static SurfacePtr DrawInto(AppointmentReminders& widget, int height) {
    SurfacePtr surface = test::FilledSurface(300, 400, 0, 0, 0);
    widget.Draw(MakeContext(surface.get()).get(), 0, 0, 300, height);
    return surface;
  }
};

// The columns of bright (text) pixels in rows [top, bottom); width 0 if none.
test::Box BrightIn(cairo_surface_t* surface, int top, int bottom) {
  int x0 = 300, x1 = -1;
  for (int y = top; y < bottom; ++y) {
    for (int x = 0; x < cairo_image_surface_get_width(surface); ++x) {
      const test::Pixel p = test::PixelAt(surface, x, y);
      if (p.r > 0xC0 && p.g > 0xC0 && p.b > 0xC0) {
        x0 = std::min(x0, x);
        x1 = std::max(x1, x);
      }
    }
  }
  return x1 < 0 ? test::Box{} : test::Box{x0, top, x1 - x0 + 1, bottom - top};
}

TEST_F(AppointmentDrawingTest, HeightFollowsTheGroupsShown) {
  // Now rows 27; later rows 20 (+32 header below "now"); tomorrow rows 18
  // below others, else 20, header 32; frame 10.
  const int cases[][4] = {{1, 0, 0, 37}, {0, 1, 0, 30},   {1, 1, 0, 89},   {0, 0, 1, 62},
                          {1, 0, 1, 87}, {0, 2, 1, 100}, {2, 3, 2, 224}, {0, 0, 2, 82}};
  ContextPtr cr = MakeContext(test::FilledSurface(1, 1, 0, 0, 0).get());
  for (const auto& c : cases) {
    AppointmentReminders widget(Groups(c[0], c[1], c[2]));
    EXPECT_EQ(widget.Measure(nullptr), (WidgetSize{300, c[3]})) << c[0] << c[1] << c[2];
    EXPECT_EQ(widget.Measure(cr.get()), (WidgetSize{300, c[3]}));
  }
}

TEST_F(AppointmentDrawingTest, HeadersAppearOnlyBelowOtherGroups) {
  AppointmentReminders later_only(Groups(0, 1, 0));
  EXPECT_FALSE(test::HasSideLine(DrawInto(later_only, 200).get(), kLaterGrey, 5));

  AppointmentReminders now_and_later(Groups(1, 1, 0));
  SurfacePtr s = DrawInto(now_and_later, 89);
  EXPECT_TRUE(test::HasSideLine(s.get(), kLaterGrey, 5));
  EXPECT_FALSE(test::HasSideLine(s.get(), kLaterGrey, 4, 2));    // starts at the inset
  EXPECT_FALSE(test::HasSideLine(s.get(), kLaterGrey, 5, 145));  // stops short of the text

  AppointmentReminders tomorrow_only(Groups(0, 0, 1));
  EXPECT_TRUE(test::HasSideLine(DrawInto(tomorrow_only, 62).get(), kLaterGrey, 5));
  AppointmentReminders now_and_tomorrow(Groups(1, 0, 1));
  s = DrawInto(now_and_tomorrow, 87);
  EXPECT_TRUE(test::HasSideLine(s.get(), kTrailingGrey, 5));
  EXPECT_FALSE(test::HasSideLine(s.get(), kLaterGrey, 5));
}

TEST_F(AppointmentDrawingTest, TooLittleRoomEndsInAnEllipsis) {
  AppointmentReminders widget(Groups(0, 4, 0));  // needs 4 x 20 + 10 = 90
  // Room for two of four rows: the first, then "..." in the subject column.
  SurfacePtr s = DrawInto(widget, 60);
  const test::Box first = BrightIn(s.get(), 5, 25);
  const test::Box second = BrightIn(s.get(), 25, 45);
  EXPECT_GT(first.width, 150);
  EXPECT_GT(second.width, 0);
  EXPECT_LT(second.width, 30);
  EXPECT_GT(second.x, first.x + 20);
  EXPECT_EQ(BrightIn(s.get(), 45, 400).width, 0);

  // Not even two rows: "..." at the top, nothing else.
  const test::Box only = BrightIn(DrawInto(widget, 40).get(), 0, 400);
  EXPECT_GT(only.width, 0);
  EXPECT_LT(only.width, 30);
  EXPECT_LT(only.x, 12);

  // A group that does not fit stops the ones below it.
  AppointmentReminders stacked(Groups(1, 0, 3));
  EXPECT_FALSE(test::HasSideLine(DrawInto(stacked, 67).get(), kTrailingGrey, 5));
}

TEST_F(AppointmentDrawingTest, DotsInAttendeeColoursRightAligned) {
  const RgbColour yellow = MakeRgb(0xFA, 0xC7, 0x51), teal = MakeRgb(0x30, 0xA5, 0xBA),
                  blue = MakeRgb(0x03, 0x7C, 0xBC);
  AppointmentReminders widget({Timed("Swim", LocalAt(10, 19, 0), {yellow, teal}),
                               Timed("Piano", LocalAt(10, 20, 0), {blue})});
  SurfacePtr s = DrawInto(widget, 50);
  auto box_of = [&](RgbColour c) {
    return test::BoundsOf(s.get(), [c](const test::Pixel& p) {
      return p.a == 255 && p.r == RedOf(c) && p.g == GreenOf(c) && p.b == BlueOf(c);
    });
  };
  const test::Box y = box_of(yellow), t = box_of(teal), b = box_of(blue);
  ASSERT_GT(std::min({y.width, t.width, b.width}), 6);
  EXPECT_LE(y.width, 11);
  EXPECT_EQ(y.y, t.y);
  EXPECT_EQ(t.x - y.x, 13);  // dot size 11 + spacing 2
  EXPECT_EQ(b.x, t.x);       // a lone dot takes the last slot
  EXPECT_EQ(b.y - t.y, 20);  // one row further down
}

}  // namespace
}  // namespace quol::saver
