#include "screensaver/collage/collage_generator.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <map>
#include <thread>

#include "platform/testing/test_support.h"
#include "screensaver/common/random.h"
#include "screensaver/photos/photo_resample.h"

namespace quol::saver {
namespace {

// Writes a solid-colour PNG photo of the given size.
std::string WritePhoto(const testing::TempDir& dir, const std::string& name, int w, int h,
                       double r, double g, double b) {
  SurfacePtr surface = MakeArgbSurface(w, h);
  ContextPtr cr = MakeContext(surface.get());
  cairo_set_source_rgb(cr.get(), r, g, b);
  cairo_paint(cr.get());
  const std::string path = dir / name;
  cairo_surface_write_to_png(surface.get(), path.c_str());
  return path;
}

// Deals its photos in order and never repeats one within a collage.
class ListFeed : public IFeedImageCollection {
 public:
  explicit ListFeed(std::vector<std::string> photos, bool single = false)
      : photos_(std::move(photos)), single_(single) {}
  std::string NextSinglePhoto() override { return NextPhoto(); }
  std::string NextPhoto() override {
    if (dealt_in_collage_ >= photos_.size()) return {};
    ++dealt_in_collage_;
    ++total_dealt_;
    return photos_[next_++ % photos_.size()];
  }
  void EndCollage() override {
    dealt_in_collage_ = 0;
    ++collages_;
  }
  bool IsSinglePhoto() const override { return single_; }
  std::string FeedName() const override { return "Holiday"; }

  std::vector<std::string> photos_;
  bool single_;
  std::size_t next_ = 0, dealt_in_collage_ = 0, total_dealt_ = 0;
  int collages_ = 0;
};

// Overlays of fixed size, so that the layout can be checked exactly.
class FixedOverlays : public ICollageOverlays {
 public:
  int ChooseStackCorner() override { return corner; }
  WidgetSize MeasureStack(Collage&, cairo_t*) override { return stack; }
  void PlaceLogo(Collage& collage, cairo_t*, int logo_corner) override {
    logo_corner_seen = logo_corner;
    collage.logo_rect = Rect{0, collage.height() - 88, 124, 88};
  }
  void PlaceStack(Collage& collage, WidgetSize size, int, cairo_t*) override {
    placed_stack = size;
    collage.stack_rect = Rect{0, 0, size.width, size.height};
  }
  void PlaceNoticeStrip(Collage& collage, cairo_t*) override {
    ++strips;
    collage.strip_rect = Rect{0, collage.height() - 30, collage.width(), 30};
  }
  int BottomBandHeight(const Collage& collage) override {
    return std::max(collage.strip_rect.height, collage.logo_rect.height + 3 * collage.m());
  }

  int corner = 2;
  WidgetSize stack{300, 200};
  WidgetSize placed_stack;
  int logo_corner_seen = -1;
  int strips = 0;
};

class CollageGeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugRandom(true);
    SeedThreadRandomWith(7);
  }
  void TearDown() override { SetDebugRandom(false); }

  std::vector<std::string> Photos(int n, int w = 400, int h = 300) {
    std::vector<std::string> paths;
    for (int i = 0; i < n; ++i) {
      paths.push_back(WritePhoto(dir_, "p" + std::to_string(i) + ".png", w + i % 3 * 40,
                                 h + i % 2 * 60, 0.2 + 0.05 * (i % 10), 0.5, 0.8));
    }
    return paths;
  }

  testing::TempDir dir_;
  FixedOverlays overlays_;
};

TEST(CollageGeometryTest, FitAndCellOrder) {
  EXPECT_EQ(FitSize(400, 300, 800, 300), (WidgetSize{400, 300}));
  EXPECT_EQ(FitSize(400, 300, 400, 600), (WidgetSize{400, 300}));
  EXPECT_EQ(FitSize(300, 400, 1000, 200), (WidgetSize{150, 200}));
  EXPECT_EQ(FitSize(200, 100, 100, 50), (WidgetSize{100, 50}));
  EXPECT_EQ(CellOrder({10, 40, 20, 30}), (std::array<int, 4>{0, 1, 2, 3}));
  EXPECT_EQ(CellOrder({40, 30, 20, 10}), (std::array<int, 4>{3, 0, 2, 1}));
  EXPECT_EQ(CellOrder({5, 5, 5, 5}), (std::array<int, 4>{0, 3, 1, 2}));
}

TEST_F(CollageGeneratorTest, FullCollageGeometryOn1920x1080) {
  ListFeed feed(Photos(12));
  CollageGenerator generator(&feed, 1920, 1080, &overlays_);
  std::unique_ptr<Collage> collage = generator.BuildCollage();
  ASSERT_TRUE(collage->has_bitmap());
  EXPECT_EQ(collage->m(), 9);
  EXPECT_EQ(collage->s(), 270);
  EXPECT_EQ(collage->mat_painter().radius, 18);
  EXPECT_EQ(overlays_.logo_corner_seen, 3);
  EXPECT_EQ(collage->feed_name, "Holiday");
  ASSERT_FALSE(collage->photos().empty());

  const Rect area{27, 27, 1866, 1026};
  const auto& mats = collage->mat_painter().mats;
  ASSERT_EQ(mats.size(), collage->photos().size());
  for (std::size_t i = 0; i < mats.size(); ++i) {
    const Rect& p = collage->photos()[i].rect;
    EXPECT_EQ(mats[i], (Rect{p.x - 18, p.y - 18, p.width + 36, p.height + 36}));
    EXPECT_GE(p.x, area.x + 9);
    EXPECT_GE(p.y, area.y + 9);
    EXPECT_LE(p.right(), area.right() - 9);
    EXPECT_LE(p.bottom(), area.bottom() - 9);
    EXPECT_FALSE(collage->photos()[i].image) << "decoded photos are dropped after drawing";
  }
  // Photos never overlap, and neighbours keep 2m between them.
  for (std::size_t i = 0; i < mats.size(); ++i) {
    for (std::size_t j = i + 1; j < mats.size(); ++j) {
      Rect a = collage->photos()[i].rect, b = collage->photos()[j].rect, overlap;
      a = Rect{a.x - 9, a.y - 9, a.width + 18, a.height + 18};
      EXPECT_FALSE(Overlap(a, b, &overlap)) << i << " and " << j;
    }
  }
  EXPECT_EQ(feed.collages_, 1);
}

TEST_F(CollageGeneratorTest, FirstPhotoOfEachQuadrantSitsAtTheSplitPoint) {
  for (int seed = 1; seed <= 20; ++seed) {
    SeedThreadRandomWith(static_cast<std::uint32_t>(seed));
    ListFeed feed(Photos(30));
    CollageGenerator generator(&feed, 1920, 1080, &overlays_);
    std::unique_ptr<Collage> collage = generator.BuildCollage();
    const int px = collage->split_x, py = collage->split_y, m = collage->m();
    std::map<int, int> first_in_quadrant;
    for (std::size_t i = 0; i < collage->photos().size(); ++i) {
      const Rect& p = collage->photos()[i].rect;
      const int k = (p.x >= px ? 1 : 0) + (p.y >= py ? 2 : 0);
      if (first_in_quadrant.count(k) != 0) continue;
      first_in_quadrant[k] = static_cast<int>(i);
      // Anchor corner 3 - k: m from both lines through the split point.
      if (k == 0) {
        EXPECT_EQ(p.right(), px - m) << "seed " << seed;
        EXPECT_EQ(p.bottom(), py - m) << "seed " << seed;
      } else if (k == 3 && overlays_.corner != 3) {
        EXPECT_EQ(p.x, px + m) << "seed " << seed;
        EXPECT_EQ(p.y, py + m) << "seed " << seed;
      }
    }
  }
}

TEST_F(CollageGeneratorTest, NarrowCellsStayEmpty) {
  // A tall, narrow screen leaves thin quadrants next to the split point.
  for (int seed = 1; seed <= 30; ++seed) {
    SeedThreadRandomWith(static_cast<std::uint32_t>(seed));
    ListFeed feed(Photos(30));
    overlays_.stack = WidgetSize{0, 0};
    CollageGenerator generator(&feed, 1200, 1900, &overlays_);
    std::unique_ptr<Collage> collage = generator.BuildCollage();
    const int px = collage->split_x, py = collage->split_y, s = collage->s();
    const int x = 3 * collage->m(), w = 1200 - 6 * collage->m();
    for (const CollagePhoto& photo : collage->photos()) {
      const bool left = photo.rect.x < px;
      const int cell_width = left ? px - x : x + w - px;
      EXPECT_GE(cell_width, s) << "photo in a cell narrower than s, seed " << seed;
      (void)py;
    }
  }
}

TEST_F(CollageGeneratorTest, OnePhotoFolderShowsItOncePerCollage) {
  ListFeed feed(Photos(1));
  CollageGenerator generator(&feed, 1920, 1080, &overlays_);
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<Collage> collage = generator.BuildCollage();
    EXPECT_EQ(collage->photos().size(), 1u);
  }
  EXPECT_EQ(feed.collages_, 3);
}

TEST_F(CollageGeneratorTest, SinglePhotoFeedsAndTinyScreensCentreOnePhoto) {
  ListFeed single(Photos(3), true);
  CollageGenerator generator(&single, 1920, 1080, &overlays_);
  std::unique_ptr<Collage> collage = generator.BuildCollage();
  ASSERT_EQ(collage->photos().size(), 1u);
  const Rect& p = collage->photos()[0].rect;
  // 400x300 into the box (36, 36, 1848, 1008): full height, centred.
  EXPECT_EQ(p, (Rect{36 + (1848 - 1344) / 2, 36, 1344, 1008}));
  EXPECT_TRUE(collage->single_photo);
  EXPECT_FALSE(collage->stack);
  EXPECT_EQ(overlays_.logo_corner_seen, -1);
}

TEST_F(CollageGeneratorTest, UnloadablePhotosAreSkippedAndEmptyFeedsGiveBlack) {
  std::vector<std::string> paths = {dir_ / "missing.jpg", dir_ / "also-missing.png"};
  auto good = Photos(2);
  paths.insert(paths.end(), good.begin(), good.end());
  ListFeed feed(paths);
  CollageGenerator generator(&feed, 1920, 1080, &overlays_);
  EXPECT_EQ(generator.BuildCollage()->photos().size(), 2u);

  ListFeed empty({});
  CollageGenerator none(&empty, 1920, 1080, &overlays_);
  std::unique_ptr<Collage> black = none.BuildCollage();
  ASSERT_TRUE(black->has_bitmap());
  const unsigned char* pixels = cairo_image_surface_get_data(black->bitmap());
  EXPECT_EQ(pixels[0] | pixels[1] | pixels[2], 0);
  EXPECT_EQ(pixels[3], 255);
}

TEST_F(CollageGeneratorTest, FinishingKeepsTheMatsAndRerendersIdentically) {
  ListFeed feed(Photos(8));
  CollageGenerator generator(&feed, 960, 540, &overlays_);
  std::unique_ptr<Collage> collage = generator.BuildCollage();
  const std::vector<Rect> mats = collage->mat_painter().mats;
  SurfacePtr first = CopySurface(collage->bitmap());
  collage->Release();
  EXPECT_FALSE(collage->has_bitmap());
  collage->Rerender();
  ASSERT_TRUE(collage->has_bitmap());
  EXPECT_EQ(collage->mat_painter().mats, mats);
  const int bytes = cairo_image_surface_get_stride(first.get()) * 540;
  EXPECT_EQ(std::memcmp(cairo_image_surface_get_data(first.get()),
                        cairo_image_surface_get_data(collage->bitmap()), bytes),
            0);
}

// ------------------------------------------------------------- sharpness

// A 6000 x 4000 grey camera-sized JPEG full of detail a quarter-size view
// still shows: 8-pixel checks, each block of 4 pixels a little lighter or
// darker.
std::string WriteDetailedJpeg(const testing::TempDir& dir, const std::string& name) {
  constexpr int kWidth = 6000, kHeight = 4000;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const unsigned hash = (static_cast<unsigned>(x / 4) * 73856093u) ^
                            (static_cast<unsigned>(y / 4) * 19349663u);
      const int check = ((x / 8 + y / 8) % 2) != 0 ? 190 : 60;
      pixels[static_cast<std::size_t>(y) * kWidth + x] =
          static_cast<unsigned char>(check + static_cast<int>(hash % 41) - 20);
    }
  }
  tjhandle tj = tjInitCompress();
  unsigned char* raw = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, pixels.data(), kWidth, 0, kHeight, TJPF_GRAY, &raw, &size,
                        TJSAMP_GRAY, 92, 0),
            0);
  const std::string path = dir / name;
  testing::WriteFileOrDie(path, std::string(reinterpret_cast<char*>(raw), size));
  tjFree(raw);
  tjDestroy(tj);
  return path;
}

// The file decoded whole, at full size.
SurfacePtr DecodeWhole(const std::string& path) {
  const std::string bytes = testing::ReadFileOrEmpty(path);
  tjhandle tj = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  tjDecompressHeader3(tj, data, bytes.size(), &width, &height, &subsampling, &colorspace);
  SurfacePtr surface = MakeArgbSurface(width, height);
  cairo_surface_flush(surface.get());
  EXPECT_EQ(tjDecompress2(tj, data, bytes.size(), cairo_image_surface_get_data(surface.get()), width,
                          cairo_image_surface_get_stride(surface.get()), height, TJPF_BGRA, 0),
            0);
  cairo_surface_mark_dirty(surface.get());
  tjDestroy(tj);
  return surface;
}

// Mean absolute Laplacian of the green channel inside `r` (its outer two
// pixels left out): how much fine detail the picture holds there.
double DetailEnergy(cairo_surface_t* surface, const Rect& r) {
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const std::size_t stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
  auto green = [&](int x, int y) {
    std::uint32_t p = 0;
    std::memcpy(&p, data + stride * static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * 4,
                sizeof p);
    return static_cast<int>((p >> 8) & 0xFF);
  };
  double total = 0;
  long count = 0;
  for (int y = r.y + 2; y < r.bottom() - 2; ++y) {
    for (int x = r.x + 2; x < r.right() - 2; ++x) {
      total += std::abs(4 * green(x, y) - green(x - 1, y) - green(x + 1, y) - green(x, y - 1) -
                        green(x, y + 1));
      ++count;
    }
  }
  return count > 0 ? total / static_cast<double>(count) : 0;
}

// `source` stretched into `size` the way a bitmap is scaled while drawing.
SurfacePtr Stretched(cairo_surface_t* source, int width, int height) {
  SurfacePtr out = MakeArgbSurface(width, height);
  ContextPtr cr = MakeContext(out.get());
  cairo_scale(cr.get(), static_cast<double>(width) / cairo_image_surface_get_width(source),
              static_cast<double>(height) / cairo_image_surface_get_height(source));
  cairo_set_source_surface(cr.get(), source, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_GOOD);
  cairo_pattern_set_extend(cairo_get_source(cr.get()), CAIRO_EXTEND_PAD);
  cairo_paint(cr.get());
  cairo_surface_flush(out.get());
  return out;
}

TEST_F(CollageGeneratorTest, CameraSizedPhotoKeepsItsDetailOnTheCollage) {
  const std::string path = WriteDetailedJpeg(dir_, "camera.jpg");
  ListFeed feed({path}, true);
  CollageGenerator generator(&feed, 1920, 1080, &overlays_);
  std::unique_ptr<Collage> collage = generator.BuildCollage();
  ASSERT_EQ(collage->photos().size(), 1u);
  const Rect rect = collage->photos()[0].rect;
  // 3:2 into the box (36, 36, 1848, 1008), laid out from the header.
  ASSERT_EQ(rect, (Rect{36 + (1848 - 1512) / 2, 36, 1512, 1008}));
  const double shown = DetailEnergy(collage->bitmap(), rect);

  // The best this place can show: the whole photo resampled once.
  SurfacePtr whole = DecodeWhole(path);
  CairoSurfacePtr best = ResampleSurface(whole.get(), {rect.width, rect.height});
  ASSERT_NE(best, nullptr);
  const Rect all{0, 0, rect.width, rect.height};
  const double reference = DetailEnergy(best.get(), all);
  ASSERT_GT(reference, 20.0) << "the test photo must be detailed at this size";
  EXPECT_NEAR(shown / reference, 1.0, 0.12) << "shown " << shown << ", best " << reference;

  // What a 256-pixel-wide thumbnail stretched into the place keeps.
  CairoSurfacePtr thumbnail = ResampleSurface(whole.get(), {256, 170});
  ASSERT_NE(thumbnail, nullptr);
  SurfacePtr stretched = Stretched(thumbnail.get(), rect.width, rect.height);
  const double smeared = DetailEnergy(stretched.get(), all);
  RecordProperty("detail_shown", std::to_string(shown));
  RecordProperty("detail_best", std::to_string(reference));
  RecordProperty("detail_thumbnail_stretched", std::to_string(smeared));
  EXPECT_LT(smeared, 0.4 * reference) << "smeared " << smeared << ", best " << reference;
  EXPECT_LT(smeared, 0.4 * shown);
}

TEST_F(CollageGeneratorTest, PhotosAreDecodedAtTheirPlacesAgainAfterARelease) {
  // Photos larger than the screen: loading them before placing would keep
  // them at half the screen width.
  ListFeed feed(Photos(6, 2200, 1500));
  CollageGenerator generator(&feed, 1920, 1080, &overlays_);
  std::unique_ptr<Collage> collage = generator.BuildCollage();
  ASSERT_GE(collage->photos().size(), 2u);
  collage->Release();
  collage->Rerender();
  for (const CollagePhoto& photo : collage->photos()) {
    ASSERT_TRUE(photo.image && photo.image->has_bitmap()) << photo.path;
    EXPECT_EQ(photo.image->width(), photo.rect.width) << photo.path;
    EXPECT_EQ(photo.image->height(), photo.rect.height) << photo.path;
    // Laid out from the full size, not from a reduced copy.
    EXPECT_GE(photo.image->photo_width(), 2200) << photo.path;
  }
}

TEST_F(CollageGeneratorTest, PhotoWhoseDataIsBrokenGivesItsPlaceToTheNext) {
  // The header promises a photo, the data does not hold one: the layout
  // only finds out when decoding at the place, and deals the next photo.
  std::vector<std::string> good = Photos(1);
  std::string bytes = testing::ReadFileOrEmpty(good[0]);
  const std::string broken = dir_ / "broken.png";
  testing::WriteFileOrDie(broken, bytes.substr(0, bytes.size() / 2));
  ListFeed feed({broken, good[0]}, true);
  CollageGenerator generator(&feed, 1920, 1080, &overlays_);
  std::unique_ptr<Collage> collage = generator.BuildCollage();
  ASSERT_EQ(collage->photos().size(), 1u);
  EXPECT_EQ(collage->photos()[0].path, good[0]);
}

// A generator that hands out numbered collages without drawing photos.
class CountingGenerator : public IBuildCollage {
 public:
  std::unique_ptr<Collage> BuildCollage() override {
    auto collage = std::make_unique<Collage>(64, 48);
    collage->feed_name = std::to_string(++built);
    collage->Finish();
    return collage;
  }
  int built = 0;
};

TEST(CollageHistoryTest, KeepsAHundredCollagesAndAtMostTwoBitmaps) {
  CountingGenerator generator;
  CollageHistory history(&generator);
  for (int i = 1; i <= 101; ++i) {
    ASSERT_EQ(history.Next()->feed_name, std::to_string(i));
    EXPECT_LE(history.CountWithBitmaps(), 2);
  }
  EXPECT_EQ(history.size(), 100u);
  // The first collage has gone: stepping all the way back ends at number 2.
  while (history.Previous()) {
    if (!history.Current()->has_bitmap()) history.Current()->Rerender();
    EXPECT_LE(history.CountWithBitmaps(), 2);
  }
  EXPECT_EQ(history.Current()->feed_name, "2");
}

TEST(CollageHistoryTest, BackAndForthShowsTheSameCollages) {
  CountingGenerator generator;
  CollageHistory history(&generator);
  for (int i = 0; i < 8; ++i) history.Next();
  std::vector<std::string> seen_back;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(history.Previous());
    if (!history.Current()->has_bitmap()) history.Current()->Rerender();
    seen_back.push_back(history.Current()->feed_name);
    EXPECT_LE(history.CountWithBitmaps(), 2);
  }
  EXPECT_EQ(seen_back, (std::vector<std::string>{"7", "6", "5", "4", "3"}));
  std::vector<std::string> seen_forward;
  for (int i = 0; i < 5; ++i) {
    Collage* collage = history.Next();
    if (!collage->has_bitmap()) collage->Rerender();
    seen_forward.push_back(collage->feed_name);
    EXPECT_LE(history.CountWithBitmaps(), 2);
  }
  EXPECT_EQ(seen_forward, (std::vector<std::string>{"4", "5", "6", "7", "8"}));
  EXPECT_EQ(generator.built, 8);
  EXPECT_EQ(history.Next()->feed_name, "9");
}

// A feed that takes its time, to stop the builder in the middle of a build.
class SlowFeed : public ListFeed {
 public:
  using ListFeed::ListFeed;
  std::string NextPhoto() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ListFeed::NextPhoto();
  }
};

TEST_F(CollageGeneratorTest, BackgroundGeneratorBuildsAheadAndStops) {
  auto feed = std::make_shared<ListFeed>(Photos(6));
  auto overlays = std::make_shared<FixedOverlays>();
  BackgroundCollageGenerator background(
      640, 480, [feed] { return feed.get(); }, overlays);
  std::unique_ptr<Collage> first = background.BuildCollage();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->has_bitmap());
  EXPECT_FALSE(first->photos().empty());
  std::unique_ptr<Collage> second = background.BuildCollage();
  ASSERT_TRUE(second);
  background.Stop();
  background.Stop();  // twice is fine

  auto slow = std::make_shared<SlowFeed>(Photos(40, 200, 150));
  {
    BackgroundCollageGenerator busy(
        1920, 1080, [slow] { return slow.get(); }, overlays);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }  // destroyed mid-build: the build is cut short and nothing is leaked
  EXPECT_LT(slow->total_dealt_, 40u);
}

// A feed whose next photo does not come until the test says so, like a
// photo on a network mount that hangs in open().
class BlockingFeed : public ListFeed {
 public:
  using ListFeed::ListFeed;
  std::string NextPhoto() override {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    return ListFeed::NextPhoto();
  }
  bool WaitUntilBlocked() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return waiting_ > 0; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool released_ = false;
};

TEST_F(CollageGeneratorTest, ABlockedBuilderNeverHoldsUpTheCallerAndIsLeftBehindAtStop) {
  auto feed = std::make_shared<BlockingFeed>(Photos(2));
  auto overlays = std::make_shared<FixedOverlays>();
  std::atomic<int> ready_calls{0};
  const int abandoned_before = BackgroundCollageGenerator::AbandonedBuilders();
  {
    BackgroundCollageGenerator background(
        640, 480, [feed] { return feed.get(); }, overlays, [&] { ++ready_calls; });
    ASSERT_TRUE(feed->WaitUntilBlocked());
    EXPECT_EQ(background.TryTakeCollage(), nullptr);
    CountingGenerator elsewhere;
    auto released = elsewhere.BuildCollage();
    released->Release();
    // Queued behind the stuck build: handed over, not drawn on this thread.
    EXPECT_FALSE(background.StartRerender(released.get()));
    EXPECT_TRUE(background.rerender_running());
    EXPECT_FALSE(background.RerenderDone(released.get()));
    EXPECT_FALSE(background.Stop(std::chrono::milliseconds(50)));
    EXPECT_FALSE(background.Stop());  // the first answer stands
    EXPECT_EQ(BackgroundCollageGenerator::AbandonedBuilders(), abandoned_before + 1);
    // The builder that was left behind may still hold the collage: it is
    // never freed (kept reachable, so leak checkers do not flag it).
    static std::unique_ptr<Collage> kept_for_the_builder;
    kept_for_the_builder = std::move(released);
  }
  feed->Release();  // the build that was left behind ends and drops its result
  EXPECT_EQ(ready_calls, 0);
}

TEST_F(CollageGeneratorTest, RerendersAndNewCollagesComeFromTheBuilderWithAWakeUp) {
  auto feed = std::make_shared<ListFeed>(Photos(6));
  auto overlays = std::make_shared<FixedOverlays>();
  std::mutex mutex;
  std::condition_variable woken;
  int ready_calls = 0;
  std::vector<std::thread::id> ready_threads;
  BackgroundCollageGenerator background(
      640, 480, [feed] { return feed.get(); }, overlays, [&] {
        std::lock_guard lock(mutex);
        ++ready_calls;
        ready_threads.push_back(std::this_thread::get_id());
        woken.notify_all();
      });
  auto wait_for_calls = [&](int n) {
    std::unique_lock lock(mutex);
    return woken.wait_for(lock, std::chrono::seconds(30), [&] { return ready_calls >= n; });
  };
  ASSERT_TRUE(wait_for_calls(1));
  std::unique_ptr<Collage> first = background.TryTakeCollage();
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->has_bitmap());
  EXPECT_EQ(background.TryTakeCollage(), nullptr);  // one at a time

  SurfacePtr before = CopySurface(first->bitmap());
  first->Release();
  ASSERT_TRUE(wait_for_calls(2));  // the next one built ahead
  // The builder has nothing else to do: the re-render is done there.
  if (!background.StartRerender(first.get())) {
    ASSERT_TRUE(wait_for_calls(3));
    EXPECT_TRUE(background.RerenderDone(first.get()));
    EXPECT_FALSE(background.RerenderDone(first.get()));  // collected once
  }
  ASSERT_TRUE(first->has_bitmap());
  const int bytes = cairo_image_surface_get_stride(before.get()) * 480;
  EXPECT_EQ(std::memcmp(cairo_image_surface_get_data(before.get()),
                        cairo_image_surface_get_data(first->bitmap()), bytes),
            0);
  EXPECT_TRUE(background.TryTakeCollage());
  EXPECT_TRUE(background.Stop());
  std::lock_guard lock(mutex);
  for (std::thread::id id : ready_threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(CollageHistoryTest, TryNextNeverWaitsAndStepsForwardWithoutTheGenerator) {
  class Handful : public CountingGenerator {
   public:
    std::unique_ptr<Collage> TryTakeCollage() override {
      return ready-- > 0 ? BuildCollage() : nullptr;
    }
    int ready = 2;
  } generator;
  CollageHistory history(&generator);
  struct Step {
    const char* action;  // "next" or "back"
    const char* shown;   // the current collage afterwards; "" for none
    bool moved;
  };
  const Step steps[] = {
      {"next", "1", true}, {"next", "2", true}, {"next", "", false},  // nothing ready
      {"back", "1", true}, {"next", "2", true},  // stepping forward needs no new one
      {"next", "", false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::Message() << step.action << " -> " << step.shown);
    const std::string before = history.Current() ? history.Current()->feed_name : "";
    if (std::string(step.action) == "next") {
      Collage* collage = history.TryNext();
      EXPECT_EQ(collage != nullptr, step.moved);
      if (collage != nullptr) {
        EXPECT_EQ(collage->feed_name, step.shown);
      }
    } else {
      EXPECT_EQ(history.Previous(), step.moved);
    }
    EXPECT_EQ(history.Current()->feed_name, step.moved ? step.shown : before);
  }
  EXPECT_EQ(history.size(), 2u);
  EXPECT_EQ(generator.built, 2);
}

}  // namespace
}  // namespace quol::saver
