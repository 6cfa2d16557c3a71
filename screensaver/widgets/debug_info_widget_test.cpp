#include "screensaver/widgets/debug_info_widget.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/identity/identity.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/pango_text.h"
#include "screensaver/widgets/widget_test_util.h"

namespace quol::saver {
namespace {

using test::PixelAt;

constexpr std::uint64_t kMb = 1024 * 1024;

class DebugInfoWidgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPrivateFont();
    DebugInfoWidget::ResetStatisticsForTesting();
  }
  void TearDown() override { DebugInfoWidget::ResetStatisticsForTesting(); }

  // A reader that reports `memory_`.
  MemoryReader Reader() {
    return [this](ProcessMemory* m) {
      *m = memory_;
      return true;
    };
  }
  void DrawOnce(DebugInfoWidget& widget) {
    SurfacePtr surface = MakeArgbSurface(200, 140);
    widget.Draw(MakeContext(surface.get()).get(), 0, 0, 190, 132);
  }

  ProcessMemory memory_{300 * kMb + 5, 120 * kMb};
  ScopedSessionProviders session_{SessionProviders{
      [] { return false; }, [] { return false; }, [] { return false; }, [] { return std::string("Default"); }}};
};

TEST_F(DebugInfoWidgetTest, AveragesStartWithTheSixthPanel) {
  DebugInfoWidget widget(Reader());
  for (int i = 1; i <= 5; ++i) {
    DrawOnce(widget);
    ASSERT_GE(widget.last_lines().size(), 2u);
    EXPECT_EQ(widget.last_lines()[0], "Working: 300Mb (avg 0)") << "draw " << i;
    EXPECT_EQ(widget.last_lines()[1], "Private: 120Mb (avg 0)") << "draw " << i;
  }
  DrawOnce(widget);
  EXPECT_EQ(widget.last_lines()[0], "Working: 300Mb (avg 300)");
  EXPECT_EQ(widget.last_lines()[1], "Private: 120Mb (avg 120)");

  // The counts are the process's: another panel carries on from here.
  memory_ = ProcessMemory{500 * kMb, 220 * kMb};
  DebugInfoWidget another(Reader());
  DrawOnce(another);
  EXPECT_EQ(another.last_lines()[0], "Working: 500Mb (avg 400)");
  EXPECT_EQ(another.last_lines()[1], "Private: 220Mb (avg 170)");
}

TEST_F(DebugInfoWidgetTest, NothingIsDrawnOrCountedWithoutMemoryFigures) {
  DebugInfoWidget blind([](ProcessMemory*) { return false; });
  SurfacePtr surface = MakeArgbSurface(200, 140);
  blind.Draw(MakeContext(surface.get()).get(), 0, 0, 190, 132);
  EXPECT_TRUE(blind.last_lines().empty());
  EXPECT_EQ(test::BoundsOf(surface.get(), [](test::Pixel p) { return p.a != 0; }).width, 0);

  // The fifth panel drawn is still unsampled.
  DebugInfoWidget widget(Reader());
  for (int i = 0; i < 5; ++i) DrawOnce(widget);
  EXPECT_EQ(widget.last_lines()[0], "Working: 300Mb (avg 0)");
}

TEST_F(DebugInfoWidgetTest, SessionLinesNameTheDesktopAndTheRights) {
  DebugInfoWidget widget(Reader());
  DrawOnce(widget);
  ASSERT_EQ(widget.last_lines().size(), 6u);
  EXPECT_EQ(widget.last_lines()[2], "Not secure/Not local system");
  EXPECT_EQ(widget.last_lines()[3], "Not locked on 'Default'");
  EXPECT_EQ(widget.last_lines()[4], "Not Vista/elevated");
  EXPECT_EQ(widget.last_lines()[5], "Version:" + platform::ProgramFileVersionText());

  ScopedSessionProviders locked(SessionProviders{[] { return true; }, [] { return true; },
                                                 [] { return true; },
                                                 [] { return std::string("Winlogon"); }});
  DrawOnce(widget);
  EXPECT_EQ(widget.last_lines()[2], "Secure/Local system");
  EXPECT_EQ(widget.last_lines()[3], "Locked on 'Winlogon'");
  EXPECT_EQ(widget.last_lines()[4], "Vista/Elevated");
}

TEST_F(DebugInfoWidgetTest, PanelIsABlackRoundedBoxWithARedRimAndWhiteText) {
  DebugInfoWidget widget(Reader());
  const WidgetSize size = widget.Measure(nullptr);
  FontHandle font = MakeFont(kPrivateFontFamily, DebugInfoWidget::kPoints);
  const int line = static_cast<int>(FontMetricsFor(nullptr, font.get()).height() + 4);
  EXPECT_EQ(size, (WidgetSize{190, 6 * line}));
  EXPECT_GE(line, 14);  // 10 pt is 13.3 px
  EXPECT_LE(line, 26);

  SurfacePtr surface = test::FilledSurface(220, size.height + 20, 0, 0, 1);  // blue backdrop
  widget.Draw(MakeContext(surface.get()).get(), 10, 10, size.width, size.height);
  const test::Pixel rim = PixelAt(surface.get(), 10 + 95, 10);
  EXPECT_EQ(rim.r, 255);
  EXPECT_EQ(rim.b, 0);
  const test::Pixel corner = PixelAt(surface.get(), 10, 10);  // outside the rounded corner
  EXPECT_EQ(corner.b, 255);
  const test::Pixel inside = PixelAt(surface.get(), 10 + 185, 10 + size.height / 2);
  EXPECT_EQ(inside.r + inside.g + inside.b, 0);
  // The text is white and stays inside the box.
  const test::Box text = test::BoundsOf(surface.get(), [](test::Pixel p) {
    return p.r > 200 && p.g > 200 && p.b > 200;
  });
  EXPECT_GT(text.width, 60);
  EXPECT_GE(text.x, 12);
  EXPECT_LE(text.x + text.width, 10 + size.width - 2);
  EXPECT_GE(text.y, 10);
  EXPECT_LE(text.y + text.height, 10 + size.height);
}

TEST(ProcessMemoryTest, ReadsThisProcess) {
  ProcessMemory memory;
  ASSERT_TRUE(ReadProcessMemory(&memory));
  EXPECT_GT(memory.working_set_bytes, 1u * kMb);
  EXPECT_GT(memory.private_bytes, 0u);
  EXPECT_EQ(memory.working_set_bytes % 1024, 0u);
}

}  // namespace
}  // namespace quol::saver
