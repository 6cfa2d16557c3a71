#include "screensaver/app/slide_show.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

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

// A host window that changes size: slides drawn after the change have the
// new size, whether collages are built inline or on the builder thread (a
// collage it had built ahead at the old size is not shown).
TEST_F(SlideShowTest, SlidesFollowANewSize) {
  AddPhotoFolder();
  struct Case {
    const char* name;
    bool inline_builder;
    bool photos;
  };
  for (const Case& c : {Case{"notices", true, false}, Case{"inline collages", true, true},
                        Case{"builder thread", false, true}}) {
    SCOPED_TRACE(c.name);
    SlideShow::Options options = options_;
    if (!c.photos) options.folders.clear();
    options.build_inline = c.inline_builder;
    std::mutex mutex;
    std::condition_variable ready;
    int ready_count = 0;
    options.on_ready = [&] {
      std::lock_guard lock(mutex);
      ++ready_count;
      ready.notify_all();
    };
    SlideShow show;
    show.SetUp(options);
    // The next slide without waiting, else once the builder says it is there.
    auto next = [&]() -> SurfacePtr {
      if (SurfacePtr slide = show.NextBitmap()) return slide;
      for (int round = 0; round < 50; ++round) {
        std::unique_lock lock(mutex);
        const int seen = ready_count;
        ready.wait_for(lock, std::chrono::milliseconds(200), [&] { return ready_count != seen; });
        lock.unlock();
        if (SurfacePtr slide = show.ResumeDeferred()) return slide;
      }
      return nullptr;
    };
    SurfacePtr first = next();
    ASSERT_TRUE(first);
    EXPECT_EQ(cairo_image_surface_get_width(first.get()), 800);
    // Give the builder time to have the next one ready at the old size.
    if (!c.inline_builder) {
      std::unique_lock lock(mutex);
      ready.wait_for(lock, std::chrono::seconds(10), [&] { return ready_count >= 2; });
    }

    show.Resize(1200, 700);
    EXPECT_EQ(show.width(), 1200);
    for (int i = 0; i < 2; ++i) {
      SurfacePtr slide = next();
      ASSERT_TRUE(slide) << "slide " << i << " never came";
      EXPECT_EQ(cairo_image_surface_get_width(slide.get()), 1200);
      EXPECT_EQ(cairo_image_surface_get_height(slide.get()), 700);
    }
  }
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
