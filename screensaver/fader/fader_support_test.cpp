#include "screensaver/fader/fader_support.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quol::saver {
namespace {

TEST(FadeTextureSizeTest, SmallestPowerOfTwoFromFiveTwelveWithinTheLimit) {
  EXPECT_EQ(FadeTextureSize(1920, 16384), 2048);
  EXPECT_EQ(FadeTextureSize(1080, 16384), 2048);
  EXPECT_EQ(FadeTextureSize(1920, 2048), 2048);
  EXPECT_EQ(FadeTextureSize(300, 8192), 512);
  EXPECT_EQ(FadeTextureSize(512, 8192), 512);
  EXPECT_EQ(FadeTextureSize(513, 8192), 1024);
  // Larger than the limit allows: the limit.
  EXPECT_EQ(FadeTextureSize(1280, 1024), 1024);
  EXPECT_EQ(FadeTextureSize(100, 256), 256);
  // The doubling stops past 16384 and falls back on the limit.
  EXPECT_EQ(FadeTextureSize(16000, 32768), 16384);
  EXPECT_EQ(FadeTextureSize(20000, 32768), 32768);
}

TEST(ExtensionListHasTest, MatchesWholeNamesOnly) {
  const char* list = "GLX_ARB_create_context GLX_EXT_swap_control_tear GLX_MESA_query_renderer";
  EXPECT_FALSE(ExtensionListHas(list, "GLX_EXT_swap_control"));
  EXPECT_FALSE(ExtensionListHas(list, "GLX_ARB_create"));
  EXPECT_FALSE(ExtensionListHas(list, "create_context"));
  EXPECT_TRUE(ExtensionListHas(list, "GLX_ARB_create_context"));
  EXPECT_TRUE(ExtensionListHas(list, "GLX_MESA_query_renderer"));
  EXPECT_TRUE(ExtensionListHas("GLX_A GLX_EXT_swap_control ", "GLX_EXT_swap_control"));
  EXPECT_FALSE(ExtensionListHas(nullptr, "GLX_EXT_swap_control"));
  EXPECT_FALSE(ExtensionListHas("", "GLX_EXT_swap_control"));
  EXPECT_FALSE(ExtensionListHas("a  b", ""));
}

std::uint32_t PixelAt(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const unsigned char* row =
      cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
  return reinterpret_cast<const std::uint32_t*>(row)[x];
}

void SetPixel(cairo_surface_t* surface, int x, int y, std::uint32_t value) {
  cairo_surface_flush(surface);
  unsigned char* row =
      cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
  reinterpret_cast<std::uint32_t*>(row)[x] = value;
  cairo_surface_mark_dirty(surface);
}

TEST(FlattenOntoBlackTest, TransparencyBecomesBlackAndEveryPixelOpaque) {
  SurfacePtr picture(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3, 1));
  SetPixel(picture.get(), 0, 0, 0x80800000);  // half-transparent red (premultiplied)
  SetPixel(picture.get(), 1, 0, 0x00000000);  // transparent
  SetPixel(picture.get(), 2, 0, 0xFF00FF00);  // opaque green
  SurfacePtr flat = FlattenOntoBlack(picture.get(), 3, 1);
  ASSERT_TRUE(flat);
  EXPECT_EQ(cairo_image_surface_get_format(flat.get()), CAIRO_FORMAT_ARGB32);
  EXPECT_EQ(PixelAt(flat.get(), 0, 0), 0xFF800000u);
  EXPECT_EQ(PixelAt(flat.get(), 1, 0), 0xFF000000u);
  EXPECT_EQ(PixelAt(flat.get(), 2, 0), 0xFF00FF00u);
}

TEST(FlattenOntoBlackTest, Rgb24PadByteIsIgnored) {
  // RGB24's top byte is undefined; whatever is in it must not leak out as alpha.
  SurfacePtr picture(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
  SetPixel(picture.get(), 0, 0, 0x000000FF);
  SurfacePtr flat = FlattenOntoBlack(picture.get(), 1, 1);
  ASSERT_TRUE(flat);
  EXPECT_EQ(PixelAt(flat.get(), 0, 0), 0xFF0000FFu);
}

TEST(FlattenOntoBlackTest, OtherSizesAreCroppedOrPaddedAtTopLeft) {
  SurfacePtr picture(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 2, 2));
  SetPixel(picture.get(), 0, 0, 0xFFFF0000);
  SetPixel(picture.get(), 1, 0, 0xFF00FF00);
  SetPixel(picture.get(), 0, 1, 0xFF0000FF);
  SetPixel(picture.get(), 1, 1, 0xFFFFFFFF);

  SurfacePtr larger = FlattenOntoBlack(picture.get(), 3, 3);
  ASSERT_TRUE(larger);
  EXPECT_EQ(PixelAt(larger.get(), 1, 0), 0xFF00FF00u);
  EXPECT_EQ(PixelAt(larger.get(), 0, 1), 0xFF0000FFu);
  EXPECT_EQ(PixelAt(larger.get(), 2, 0), 0xFF000000u);
  EXPECT_EQ(PixelAt(larger.get(), 0, 2), 0xFF000000u);

  SurfacePtr smaller = FlattenOntoBlack(picture.get(), 1, 1);
  ASSERT_TRUE(smaller);
  EXPECT_EQ(cairo_image_surface_get_width(smaller.get()), 1);
  EXPECT_EQ(PixelAt(smaller.get(), 0, 0), 0xFFFF0000u);

  SurfacePtr none = FlattenOntoBlack(nullptr, 2, 1);
  ASSERT_TRUE(none);
  EXPECT_EQ(PixelAt(none.get(), 1, 0), 0xFF000000u);
}

TEST(IsSoftwareRendererTest, MesasCpuRasterisersOnly) {
  struct Case {
    const char* renderer;
    bool software;
  };
  const Case cases[] = {
      {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
      {"softpipe", true},
      {"Mesa X11 swrast", true},
      {"LLVMPIPE (LLVM 11.0.1, 128 bits)", true},
      {"zink (llvmpipe (LLVM 15.0.6, 256 bits))", true},  // Vulkan on the CPU is no better
      {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false},
      {"AMD Radeon RX 6600 (navi23, LLVM 15.0.6, DRM 3.49, 6.1.0-13-amd64)", false},
      {"NVIDIA GeForce GTX 1060 6GB/PCIe/SSE2", false},
      {"SVGA3D; build: RELEASE;  LLVM;", false},  // a virtual GPU, not llvmpipe
      {"virgl (Mesa Intel(R) Xe Graphics)", false},
      {"", false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSoftwareRenderer(c.renderer), c.software)
        << (c.renderer != nullptr ? c.renderer : "(null)");
  }
}

}  // namespace
}  // namespace quol::saver
