#include "screensaver/widgets/png_resource.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/config/cobrand_module.h"
#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/widgets/widget_test_util.h"

namespace quol::saver {
namespace {

using test::Pixel;

struct Expected {
  const char* name;
  int width, height;
};

int Width(cairo_surface_t* s) { return cairo_image_surface_get_width(s); }
int Height(cairo_surface_t* s) { return cairo_image_surface_get_height(s); }

std::string OwnBytes(const std::string& name) {
  EnsureSaverResourcesRegistered();
  GBytes* data = g_resources_lookup_data(("/quol/resources/" + name).c_str(),
                                         G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (data == nullptr) return {};
  gsize size = 0;
  const auto* raw = static_cast<const char*>(g_bytes_get_data(data, &size));
  std::string bytes(raw, size);
  g_bytes_unref(data);
  return bytes;
}

TEST(PngResourceTest, OwnArtworkIsBundledAtItsSizesWithAlpha) {
  for (const Expected& e : {Expected{"CollageLogo_left", 124, 88}, Expected{"CollageLogo_right", 124, 88},
                            Expected{"CollageNoImagesLogo", 369, 187}, Expected{"PreviewWindow1", 152, 112},
                            Expected{"PreviewWindow2", 152, 112}}) {
    SurfacePtr image = LoadPngResource(nullptr, e.name, false);
    ASSERT_TRUE(image) << e.name;
    EXPECT_EQ(Width(image.get()), e.width) << e.name;
    EXPECT_EQ(Height(image.get()), e.height) << e.name;
  }
  // The corner logos are light artwork on a transparent ground.
  for (const char* name : {"CollageLogo_left", "CollageLogo_right"}) {
    SurfacePtr logo = LoadPngResource(nullptr, name, false);
    ASSERT_TRUE(logo);
    EXPECT_EQ(cairo_image_surface_get_format(logo.get()), CAIRO_FORMAT_ARGB32);
    EXPECT_EQ(test::PixelAt(logo.get(), 0, 0).a, 0) << name;
    const test::Box solid = test::BoundsOf(logo.get(), [](Pixel p) { return p.a > 200 && p.r > 200; });
    EXPECT_GT(solid.width, 60) << name;
    EXPECT_GT(solid.height, 20) << name;
  }
  // Each logo hugs the collage's outer edge in its corner.
  SurfacePtr left = LoadPngResource(nullptr, "CollageLogo_left", false);
  SurfacePtr right = LoadPngResource(nullptr, "CollageLogo_right", false);
  auto ink = [](cairo_surface_t* s) { return test::BoundsOf(s, [](Pixel p) { return p.a > 200; }); };
  EXPECT_LT(ink(left.get()).x, 12);
  EXPECT_GT(ink(left.get()).x + ink(left.get()).width, 90);
  EXPECT_GT(ink(right.get()).x + ink(right.get()).width, 112);
  EXPECT_LT(ink(right.get()).x, 34);
}

TEST(PngResourceTest, ShortGarbledOrMissingResourcesAreAbsent) {
  const std::string png = OwnBytes("CollageLogo_left");
  ASSERT_GT(png.size(), kMinPngResourceBytes);
  EXPECT_TRUE(DecodePng(png));
  EXPECT_FALSE(DecodePng(png.substr(0, kMinPngResourceBytes - 1)));
  EXPECT_FALSE(DecodePng(png.substr(0, png.size() / 2)));  // cut short
  EXPECT_FALSE(DecodePng(std::string(4096, 'x')));
  EXPECT_FALSE(DecodePng(""));
  EXPECT_FALSE(LoadPngResource(nullptr, "NoSuchPicture", false));
  EXPECT_FALSE(LoadPngResource(nullptr, "PartnerSlideshowLogo", true));  // no partner
}

int RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

void WritePng(const std::string& path, int w, int h) {
  SurfacePtr surface = test::FilledSurface(w, h, 0.2, 0.4, 0.6);
  std::string bytes;
  cairo_surface_write_to_png_stream(
      surface.get(),
      [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
      },
      &bytes);
  testing::WriteFileOrDie(path, bytes);
}

// A partner bundle, signed with a key the test makes trusted.
class PartnerPngTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = env_.root() + "/bundle";
    WritePng(d + "/resources/PartnerSlideshowLogo", 60, 30);
    WritePng(d + "/resources/CollageLogo_left", 20, 10);
    testing::WriteFileOrDie(d + "/resources/Tiny", std::string(OwnBytes("CollageLogo_left"), 0, 41));
    testing::WriteFileOrDie(d + "/resources/Junk", std::string(500, '#'));
    testing::WriteFileOrDie(d + "/partner.xml",
                            "<gresources><gresource prefix='/quol'>"
                            "<file>resources/PartnerSlideshowLogo</file>"
                            "<file>resources/CollageLogo_left</file>"
                            "<file>resources/Tiny</file><file>resources/Junk</file>"
                            "</gresource></gresources>");
    ASSERT_EQ(RunQuietly("glib-compile-resources --sourcedir=" + d + " --target=" + bundle_ + " " + d +
                         "/partner.xml"),
              0);
    ASSERT_EQ(RunQuietly("minisign -G -W -f -p " + env_.root() + "/test.pub -s " + env_.root() +
                         "/test.key"),
              0);
    ASSERT_EQ(RunQuietly("minisign -S -s " + env_.root() + "/test.key -m " + bundle_), 0);
    ASSERT_EQ(module_.LoadCobrandLibrary(bundle_), S_OK) << log_.Text();
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  std::string bundle_ = env_.root() + "/partner.gresource";
  testing::ScopedEnv key_{"QUOL_TEST_TRUST_KEY", env_.root() + "/test.pub"};
  CCobrandableModule module_;
};

TEST_F(PartnerPngTest, PartnerPicturesWinOnlyWhenAskedFirst) {
  SurfacePtr partner_logo = LoadPngResource(&module_, "PartnerSlideshowLogo", true);
  ASSERT_TRUE(partner_logo);
  EXPECT_EQ(Width(partner_logo.get()), 60);
  EXPECT_FALSE(LoadPngResource(&module_, "PartnerSlideshowLogo", false));

  SurfacePtr replaced = LoadPngResource(&module_, "CollageLogo_left", true);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(Width(replaced.get()), 20);
  SurfacePtr own = LoadPngResource(&module_, "CollageLogo_left", false);
  ASSERT_TRUE(own);
  EXPECT_EQ(Width(own.get()), 124);

  // Not in the partner's bundle: the program's own.
  SurfacePtr fallback = LoadPngResource(&module_, "CollageNoImagesLogo", true);
  ASSERT_TRUE(fallback);
  EXPECT_EQ(Width(fallback.get()), 369);

  EXPECT_FALSE(LoadPngResource(&module_, "Tiny", true));
  EXPECT_FALSE(LoadPngResource(&module_, "Junk", true));
}

}  // namespace
}  // namespace quol::saver
