#include "screensaver/app/slide_show.h"

#include <gtest/gtest.h>

#include "foundation/config/global_config.h"
#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/common/random.h"
#include "screensaver/widgets/font_registry.h"
#include "screensaver/widgets/png_resource.h"

namespace quol::saver {
namespace {

class SlideShowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPrivateFont();
    EnsureSaverResourcesRegistered();
    SetDebugRandom(true);
    SeedThreadRandom();
    options_.screen_width = 800;
    options_.screen_height = 600;
    options_.show_my_pictures = false;
    options_.show_shared_pictures = false;
    options_.configured_tips = CGlobalConfig::BuiltInTips();
    options_.build_inline = true;
  }
  void TearDown() override { SetDebugRandom(false); }

  void AddPhotoFolder() {
    const std::string folder = dir_ / "photos";
    for (int i = 0; i < 4; ++i) {
      SurfacePtr photo = MakeArgbSurface(640, 480);
      ContextPtr cr = MakeContext(photo.get());
      cairo_set_source_rgb(cr.get(), 0.3, 0.6, 0.9);
      cairo_paint(cr.get());
      testing::WriteFileOrDie(folder + "/p" + std::to_string(i) + ".png", "");
      cairo_surface_write_to_png(photo.get(), (folder + "/p" + std::to_string(i) + ".png").c_str());
    }
    options_.folders = {folder};
  }
  int Count(const std::string& line) const {
    const std::string text = log_.Text();
    int n = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  }

  testing::TempDir dir_;
  testing::LogCapture log_;
  SlideShow::Options options_;
};

TEST_F(SlideShowTest, WithoutPhotosEverySlideIsTheNoPhotosNotice) {
  SlideShow show;
  show.SetUp(options_);
  EXPECT_FALSE(show.has_collages());
  for (int i = 0; i < 3; ++i) {
    SurfacePtr slide = show.NextBitmap();
    ASSERT_TRUE(slide);
    EXPECT_EQ(cairo_image_surface_get_width(slide.get()), 800);
  }
  EXPECT_EQ(Count(std::string("MessageSlide: ") + kNoPhotosNotice + " (1)"), 3);
  EXPECT_FALSE(show.CurrentDisplayBitmap());
}

TEST_F(SlideShowTest, IdleStartOpensWithATipThenCollages) {
  AddPhotoFolder();
  options_.started_by_hand = false;
  SlideShow show;
  show.SetUp(options_);
  ASSERT_TRUE(show.has_collages());
  EXPECT_FALSE(show.CurrentDisplayBitmap());  // nothing before the opening tip
  ASSERT_TRUE(show.NextBitmap());
  EXPECT_EQ(Count("ShowProductTip: Yes"), 0);  // the re-show above counted as the opening
  ASSERT_TRUE(show.NextBitmap());
  EXPECT_EQ(show.history()->size(), 2u);

  SlideShow fresh;
  fresh.SetUp(options_);
  ASSERT_TRUE(fresh.NextBitmap());
  EXPECT_EQ(Count("ShowProductTip: Yes"), 1);
  EXPECT_EQ(fresh.history()->size(), 0u);
  ASSERT_TRUE(fresh.NextBitmap());
  EXPECT_EQ(fresh.history()->size(), 1u);
}

TEST_F(SlideShowTest, StartByHandOpensWithACollageAndCanStepBack) {
  AddPhotoFolder();
  options_.started_by_hand = true;
  SlideShow show;
  show.SetUp(options_);
  ASSERT_TRUE(show.NextBitmap());
  EXPECT_EQ(show.history()->size(), 1u);
  EXPECT_EQ(Count("ShowProductTip"), 0);
  EXPECT_TRUE(show.CurrentDisplayBitmap());
  EXPECT_EQ(show.StepBack(), nullptr);
  ASSERT_TRUE(show.NextBitmap());
  SurfacePtr back = show.StepBack();
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back.get(), show.history()->Current()->bitmap());
}

TEST_F(SlideShowTest, RequiredUpgradeShowsOnlyItsNotice) {
  AddPhotoFolder();
  options_.required_upgrade = true;
  SlideShow show;
  show.SetUp(options_);
  EXPECT_FALSE(show.has_collages());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(show.NextBitmap());
  EXPECT_EQ(Count(std::string("MessageSlide: ") + kRequiredUpgradeNotice + " (1)"), 3);
}

TEST_F(SlideShowTest, UpgradeAvailableLeavesOnlyTheNewVersionTip) {
  options_.upgrade_available = true;
  options_.restricted_session = true;
  SlideShow show;
  show.SetUp(options_);
  ASSERT_EQ(show.tips().tips().size(), 1u);
  EXPECT_EQ(show.tips().tips()[0], kNewVersionTip);
}

}  // namespace
}  // namespace quol::saver
