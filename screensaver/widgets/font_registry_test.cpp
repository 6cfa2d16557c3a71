#include "screensaver/widgets/font_registry.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/testing/test_support.h"
#include "screensaver/widgets/pango_text.h"

namespace quol::saver {
namespace {

// The font Pango picked for the first run of a laid-out text.
std::string FontFileOfLayout(PangoLayout* layout) {
  PangoLayoutIter* iter = pango_layout_get_iter(layout);
  PangoLayoutRun* run = pango_layout_iter_get_run_readonly(iter);
  std::string file = run != nullptr ? FontFileOf(run->item->analysis.font) : std::string();
  pango_layout_iter_free(iter);
  return file;
}

TEST(FontRegistryTest, FuturaBookNameResolvesToTheBundledFont) {
  RegisterPrivateFont();
  ASSERT_TRUE(PrivateFontAvailable());
  const std::string bundled = PrivateFontFile();
  ASSERT_FALSE(bundled.empty());
  // The bundled file is an OpenType font (CFF outlines).
  EXPECT_EQ(testing::ReadFileOrEmpty(bundled).substr(0, 4), "OTTO");

  FontHandle font = MakeFont(kPrivateFontFamily, 50);
  EXPECT_EQ(ResolvedFontFile(font.get()), bundled);

  // A real layout draws its text with that file too.
  ContextPtr cr = MakeMeasuringContext();
  LayoutPtr layout = MakeLayout(cr.get(), font.get(), "9:05");
  EXPECT_EQ(FontFileOfLayout(layout.get()), bundled);

  // Other families are left alone.
  FontHandle sans = MakeFont(kSansSerifFamily, 14);
  const std::string sans_file = ResolvedFontFile(sans.get());
  EXPECT_FALSE(sans_file.empty());
  EXPECT_NE(sans_file, bundled);
}

TEST(FontRegistryTest, RegistrationIsOnceAndEveryThreadSeesTheFont) {
  RegisterPrivateFont();
  const std::string bundled = PrivateFontFile();
  RegisterPrivateFont();
  EXPECT_EQ(PrivateFontFile(), bundled);

  std::string seen[2];
  std::thread a([&] { seen[0] = ResolvedFontFile(MakeFont(kPrivateFontFamily, 10).get()); });
  std::thread b([&] {
    RegisterPrivateFont();
    seen[1] = ResolvedFontFile(MakeFont(kPrivateFontFamily, 50).get());
  });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], bundled);
  EXPECT_EQ(seen[1], bundled);
}

}  // namespace
}  // namespace quol::saver
