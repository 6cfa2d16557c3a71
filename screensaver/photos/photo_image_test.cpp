#include "screensaver/photos/photo_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <png.h>
#include <sys/resource.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>
#include <functional>
#include <string>
#include <vector>

#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/photos/photo_decode.h"

namespace quol::saver {

// Reaches the draw-failure hook.
class PhotoImageTestPeer {
 public:
  static void FailNextDraws(PhotoImage& image, int count) {
    image.failing_draws_for_testing_ = count;
  }
};

namespace {

using quol::testing::LogCapture;
using quol::testing::TempDir;
using quol::testing::WriteFileOrDie;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

struct Color {
  int r = 0, g = 0, b = 0, a = 255;
};
std::ostream& operator<<(std::ostream& out, const Color& c) {
  return out << "rgba(" << c.r << "," << c.g << "," << c.b << "," << c.a << ")";
}

constexpr Color kRed{255, 0, 0};
constexpr Color kGreen{0, 255, 0};
constexpr Color kBlue{0, 0, 255};
constexpr Color kWhite{255, 255, 255};
constexpr Color kYellow{255, 255, 0};

// The stored test picture: one colour per quadrant.
struct Quadrants {
  Color top_left = kRed, top_right = kGreen, bottom_left = kBlue, bottom_right = kWhite;
};

Color QuadrantColor(const Quadrants& q, int x, int y, int width, int height) {
  bool right = x >= width / 2;
  bool bottom = y >= height / 2;
  if (bottom) return right ? q.bottom_right : q.bottom_left;
  return right ? q.top_right : q.top_left;
}

Color PixelAt(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const unsigned char* row =
      cairo_image_surface_get_data(surface) + cairo_image_surface_get_stride(surface) * y;
  std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
  return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
          static_cast<int>(p & 0xFF), static_cast<int>(p >> 24)};
}

::testing::AssertionResult ColorNear(cairo_surface_t* surface, int x, int y, Color expected,
                                     int tolerance) {
  Color got = PixelAt(surface, x, y);
  if (std::abs(got.r - expected.r) <= tolerance && std::abs(got.g - expected.g) <= tolerance &&
      std::abs(got.b - expected.b) <= tolerance && std::abs(got.a - expected.a) <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "pixel (" << x << "," << y << ") is " << got << ", expected " << expected;
}

// Checks the colour near each corner of a loaded photo.
void ExpectCorners(const PhotoImage& image, const Quadrants& q, int tolerance) {
  cairo_surface_t* s = image.surface();
  int w = image.width(), h = image.height();
  int inset = 4;
  EXPECT_TRUE(ColorNear(s, inset, inset, q.top_left, tolerance)) << "top left";
  EXPECT_TRUE(ColorNear(s, w - 1 - inset, inset, q.top_right, tolerance)) << "top right";
  EXPECT_TRUE(ColorNear(s, inset, h - 1 - inset, q.bottom_left, tolerance)) << "bottom left";
  EXPECT_TRUE(ColorNear(s, w - 1 - inset, h - 1 - inset, q.bottom_right, tolerance))
      << "bottom right";
}

// ------------------------------------------------------------- JPEG making

struct TjFree {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};
struct TjDestroy {
  void operator()(void* handle) const { tjDestroy(handle); }
};

std::string CompressJpeg(const std::vector<unsigned char>& pixels, int width, int height,
                         int pixel_format, int subsampling, int flags) {
  std::unique_ptr<void, TjDestroy> tj(tjInitCompress());
  unsigned char* raw = nullptr;
  unsigned long size = 0;
  int result = tjCompress2(tj.get(), pixels.data(), width, 0, height, pixel_format, &raw, &size,
                           subsampling, 92, flags);
  std::unique_ptr<unsigned char, TjFree> out(raw);
  if (result != 0) throw std::runtime_error(tjGetErrorStr2(tj.get()));
  return std::string(reinterpret_cast<const char*>(out.get()), size);
}

std::string QuadrantJpeg(int width, int height, const Quadrants& q = {}, int flags = 0) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Color c = QuadrantColor(q, x, y, width, height);
      unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<unsigned char>(c.r);
      p[1] = static_cast<unsigned char>(c.g);
      p[2] = static_cast<unsigned char>(c.b);
    }
  }
  return CompressJpeg(pixels, width, height, TJPF_RGB, TJSAMP_444, flags);
}

// A plain grey JPEG: big ones stay small and quick to make.
std::string GrayJpeg(int width, int height, int flags = 0) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height, 0x80);
  return CompressJpeg(pixels, width, height, TJPF_GRAY, TJSAMP_GRAY, flags);
}

void Put16(std::string& out, int value, bool big_endian) {
  unsigned char hi = static_cast<unsigned char>((value >> 8) & 0xFF);
  unsigned char lo = static_cast<unsigned char>(value & 0xFF);
  out += static_cast<char>(big_endian ? hi : lo);
  out += static_cast<char>(big_endian ? lo : hi);
}

void Put32(std::string& out, std::uint32_t value, bool big_endian) {
  Put16(out, static_cast<int>(big_endian ? value >> 16 : value & 0xFFFF), big_endian);
  Put16(out, static_cast<int>(big_endian ? value & 0xFFFF : value >> 16), big_endian);
}

// The JPEG with an APP1 Exif segment holding only the orientation tag,
// placed right after SOI.
std::string WithOrientation(const std::string& jpeg, int orientation, bool big_endian = false) {
  std::string tiff = big_endian ? "MM" : "II";
  Put16(tiff, 42, big_endian);
  Put32(tiff, 8, big_endian);           // IFD0 offset
  Put16(tiff, 1, big_endian);           // one entry
  Put16(tiff, 0x0112, big_endian);      // Orientation
  Put16(tiff, 3, big_endian);           // SHORT
  Put32(tiff, 1, big_endian);           // one component
  Put16(tiff, orientation, big_endian); // value, left-aligned
  Put16(tiff, 0, big_endian);
  Put32(tiff, 0, big_endian);  // no next IFD
  std::string payload = std::string("Exif\0\0", 6) + tiff;
  std::string segment = "\xFF\xE1";
  Put16(segment, static_cast<int>(payload.size() + 2), true);
  segment += payload;
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

// The JPEG with its frame header claiming another size.
std::string WithFrameSize(std::string jpeg, int width, int height) {
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    auto marker = static_cast<unsigned char>(jpeg[i + 1]);
    if (static_cast<unsigned char>(jpeg[i]) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
      jpeg[i + 5] = static_cast<char>(height >> 8);
      jpeg[i + 6] = static_cast<char>(height & 0xFF);
      jpeg[i + 7] = static_cast<char>(width >> 8);
      jpeg[i + 8] = static_cast<char>(width & 0xFF);
      return jpeg;
    }
  }
  throw std::runtime_error("no frame header");
}

// ------------------------------------------------------------- PNG making

void WriteCairoPng(const std::string& path, int width, int height,
                   const std::function<Color(int, int)>& pixel) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + stride * y);
    for (int x = 0; x < width; ++x) {
      Color c = pixel(x, y);
      auto pm = [&c](int v) { return static_cast<std::uint32_t>((v * c.a + 127) / 255); };
      row[x] = (static_cast<std::uint32_t>(c.a) << 24) | (pm(c.r) << 16) | (pm(c.g) << 8) |
               pm(c.b);
    }
  }
  cairo_surface_mark_dirty(surface);
  cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) throw std::runtime_error("cannot write " + path);
}

void WriteQuadrantPng(const std::string& path, int width, int height, const Quadrants& q = {}) {
  WriteCairoPng(path, width, height,
                [&](int x, int y) { return QuadrantColor(q, x, y, width, height); });
}

struct PngWriteHandles {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWriteHandles() {
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  }
};

bool WritePngRows(png_structp png, png_infop info, std::FILE* file, png_uint_32 width,
                  png_uint_32 height, int color_type, int bit_depth, int interlace,
                  png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, bit_depth, color_type, interlace,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

// 16-bit grey PNG through libpng's own writer (Cairo only writes 8-bit,
// never interlaced).
void WriteGray16Png(const std::string& path, int width, int height, bool interlaced,
                    const std::function<int(int, int)>& value) {
  std::vector<unsigned char> data(static_cast<std::size_t>(width) * height * 2);
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    rows[static_cast<std::size_t>(y)] = &data[static_cast<std::size_t>(y) * width * 2];
    for (int x = 0; x < width; ++x) {
      int v = value(x, y);
      rows[static_cast<std::size_t>(y)][x * 2] = static_cast<unsigned char>(v >> 8);
      rows[static_cast<std::size_t>(y)][x * 2 + 1] = static_cast<unsigned char>(v & 0xFF);
    }
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                       &std::fclose);
  PngWriteHandles handles;
  handles.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  handles.info = png_create_info_struct(handles.png);
  if (!file || !WritePngRows(handles.png, handles.info, file.get(), width, height,
                             PNG_COLOR_TYPE_GRAY, 16,
                             interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, rows.data())) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

std::string PngChunk(const std::string& type, const std::string& body) {
  std::string chunk;
  Put32(chunk, static_cast<std::uint32_t>(body.size()), true);
  chunk += type + body;
  Put32(chunk, Crc32(type + body), true);
  return chunk;
}

// A PNG whose header claims the size but whose image data is a few bytes of
// nonsense.
std::string HugeHeaderPng(std::uint32_t width, std::uint32_t height) {
  std::string ihdr;
  Put32(ihdr, width, true);
  Put32(ihdr, height, true);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA, not interlaced
  return std::string("\x89PNG\r\n\x1A\n", 8) + PngChunk("IHDR", ihdr) +
         PngChunk("IDAT", "\x78\x9C\x01\x02\x03\x04\x05\x06") + PngChunk("IEND", "");
}

#if !defined(__SANITIZE_ADDRESS__)
// In a child process: loads under an address-space limit of 1 GiB above
// what the process already uses, so a decoder that tried to allocate the
// size a header claims fails there instead of swamping the machine. Exits 0
// when the load failed and the process's peak memory grew by less than
// 192 MiB on the way.
[[noreturn]] void LoadUnderMemoryLimitAndExit(const std::string& path) {
  long pages = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages;
  rlim_t limit =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (1ull << 30);
  rlimit rl{};
  rl.rlim_cur = limit;
  rl.rlim_max = limit;
  ::setrlimit(RLIMIT_AS, &rl);
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  if (image->has_bitmap()) std::_Exit(1);
  std::_Exit(after.ru_maxrss - before.ru_maxrss < 192 * 1024 ? 0 : 2);  // KiB
}
#endif

// The load must fail; outside the sanitizer build it runs in a child under
// the memory limit, so a decoder that trusted the header cannot swamp the
// machine running the tests. (The sanitizer reserves more address space than
// such a limit allows; its allocator refuses absurd sizes by itself.)
void ExpectRefusedWithinBoundedMemory(const std::string& path) {
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_FALSE(PhotoImage::Load(path, kScreenWidth, kScreenHeight)->has_bitmap());
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoadUnderMemoryLimitAndExit(path), ::testing::ExitedWithCode(0), "");
#endif
}

class PhotoImageTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ / name;
    WriteFileOrDie(path, bytes);
    return path;
  }
  std::unique_ptr<PhotoImage> LoadBytes(const std::string& name, const std::string& bytes,
                                        int screen_width = kScreenWidth,
                                        int screen_height = kScreenHeight) {
    return PhotoImage::Load(Write(name, bytes), screen_width, screen_height);
  }

  TempDir dir_;
  // Failed loads are logged; never into the real data folder.
  LogCapture quiet_log_;
};

// ------------------------------------------------------------- orientation

struct OrientationCase {
  int orientation;
  int rotate_flip;
  Quadrants shown;  // what each corner shows once turned upright
};

void PrintTo(const OrientationCase& c, std::ostream* out) {
  *out << "orientation " << c.orientation;
}

class PhotoOrientationTest : public PhotoImageTest,
                             public ::testing::WithParamInterface<OrientationCase> {};

TEST_P(PhotoOrientationTest, LandscapePhotoIsTurnedUpright) {
  const OrientationCase& c = GetParam();
  for (bool big_endian : {false, true}) {
    auto image = LoadBytes("turned.jpg", WithOrientation(QuadrantJpeg(400, 200), c.orientation,
                                                         big_endian));
    ASSERT_TRUE(image->has_bitmap());
    EXPECT_EQ(image->rotate_flip(), c.rotate_flip);
    bool swapped = c.orientation >= 5 && c.orientation <= 8;
    EXPECT_EQ(image->width(), swapped ? 200 : 400);
    EXPECT_EQ(image->height(), swapped ? 400 : 200);
    ExpectCorners(*image, c.shown, 40);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllOrientations, PhotoOrientationTest,
    ::testing::Values(OrientationCase{1, 0, {kRed, kGreen, kBlue, kWhite}},
                      OrientationCase{2, 4, {kGreen, kRed, kWhite, kBlue}},
                      OrientationCase{3, 2, {kWhite, kBlue, kGreen, kRed}},
                      OrientationCase{4, 6, {kBlue, kWhite, kRed, kGreen}},
                      OrientationCase{5, 5, {kRed, kBlue, kGreen, kWhite}},
                      OrientationCase{6, 1, {kBlue, kRed, kWhite, kGreen}},
                      OrientationCase{7, 7, {kWhite, kGreen, kBlue, kRed}},
                      OrientationCase{8, 3, {kGreen, kWhite, kRed, kBlue}},
                      OrientationCase{9, 0, {kRed, kGreen, kBlue, kWhite}}));

TEST_F(PhotoImageTest, PortraitStoredPhotoKeepsItsOrientation) {
  auto image = LoadBytes("portrait.jpg", WithOrientation(QuadrantJpeg(200, 400), 6));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->rotate_flip(), 0);
  EXPECT_EQ(image->width(), 200);
  EXPECT_EQ(image->height(), 400);
  ExpectCorners(*image, {}, 40);
}

TEST_F(PhotoImageTest, OrientationAppliesAfterReduction) {
  // 4000x3000 on 1920x1080 is kept at 960x720, then turned.
  auto image = LoadBytes("big_turned.jpg", WithOrientation(QuadrantJpeg(4000, 3000), 8));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 720);
  EXPECT_EQ(image->height(), 960);
  ExpectCorners(*image, {kGreen, kWhite, kRed, kBlue}, 40);
}

// ------------------------------------------------------------- sizes

TEST_F(PhotoImageTest, SmallPhotosAreRefused) {
  EXPECT_FALSE(LoadBytes("tall.jpg", GrayJpeg(100, 800))->has_bitmap());
  EXPECT_FALSE(LoadBytes("wide.jpg", GrayJpeg(800, 100))->has_bitmap());
  std::string png = dir_ / "small.png";
  WriteQuadrantPng(png, 100, 300);
  EXPECT_FALSE(PhotoImage::Load(png, kScreenWidth, kScreenHeight)->has_bitmap());

  auto image = LoadBytes("just.jpg", GrayJpeg(101, 101));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 101);
  EXPECT_EQ(image->height(), 101);
}

TEST_F(PhotoImageTest, PhotoWithinScreenKeepsItsSize) {
  auto image = LoadBytes("fits.jpg", QuadrantJpeg(1000, 500));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 1000);
  EXPECT_EQ(image->height(), 500);
  ExpectCorners(*image, {}, 40);
}

TEST_F(PhotoImageTest, PhotoLargerThanScreenIsHalfScreenWide) {
  auto image = LoadBytes("large.jpg", QuadrantJpeg(4000, 3000));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 960);
  EXPECT_EQ(image->height(), 720);
  EXPECT_EQ(cairo_image_surface_get_format(image->surface()), CAIRO_FORMAT_ARGB32);
  ExpectCorners(*image, {}, 40);
}

TEST_F(PhotoImageTest, HugePhotoBecomesThumbnail) {
  auto image = LoadBytes("huge.jpg", GrayJpeg(6000, 4000));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 256);
  EXPECT_EQ(image->height(), 170);
  EXPECT_TRUE(ColorNear(image->surface(), 128, 85, {0x80, 0x80, 0x80}, 6));
}

TEST_F(PhotoImageTest, ThumbnailStartsAboveFifteenMegapixels) {
  auto at_limit = LoadBytes("limit.jpg", GrayJpeg(5000, 3000));
  ASSERT_TRUE(at_limit->has_bitmap());
  EXPECT_EQ(at_limit->width(), 960);
  EXPECT_EQ(at_limit->height(), 576);
  auto above = LoadBytes("above.jpg", GrayJpeg(5000, 3001));
  ASSERT_TRUE(above->has_bitmap());
  EXPECT_EQ(above->width(), 256);
  EXPECT_EQ(above->height(), 153);
  // A big screen keeps a big photo whole.
  EXPECT_EQ(ReducedSize(6000, 4000, 7680, 4320), (PixelSize{6000, 4000}));
}

TEST_F(PhotoImageTest, ProgressiveJpegLoads) {
  auto image = LoadBytes("progressive.jpg", QuadrantJpeg(800, 600, {}, TJFLAG_PROGRESSIVE));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 800);
  ExpectCorners(*image, {}, 40);
}

// ------------------------------------------------------------- PNG

TEST_F(PhotoImageTest, PngWithinScreenIsExact) {
  std::string path = dir_ / "exact.png";
  WriteQuadrantPng(path, 300, 200, {kRed, kGreen, kBlue, kYellow});
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 300);
  EXPECT_EQ(image->height(), 200);
  EXPECT_TRUE(ColorNear(image->surface(), 149, 99, kRed, 0));
  EXPECT_TRUE(ColorNear(image->surface(), 150, 99, kGreen, 0));
  EXPECT_TRUE(ColorNear(image->surface(), 149, 100, kBlue, 0));
  EXPECT_TRUE(ColorNear(image->surface(), 150, 100, kYellow, 0));
}

TEST_F(PhotoImageTest, PngIsReducedWhileRead) {
  std::string path = dir_ / "large.png";
  WriteQuadrantPng(path, 3000, 2000);
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->width(), 960);
  EXPECT_EQ(image->height(), 640);
  ExpectCorners(*image, {}, 0);
}

TEST_F(PhotoImageTest, PngReductionAveragesAreas) {
  // A one-pixel checkerboard halved: every kept pixel is half white.
  std::string path = dir_ / "checker.png";
  WriteCairoPng(path, 400, 400, [](int x, int y) { return (x + y) % 2 == 0 ? kWhite : Color{}; });
  auto image = PhotoImage::Load(path, 200, 100);
  ASSERT_TRUE(image->has_bitmap());
  ASSERT_EQ(image->width(), 100);
  ASSERT_EQ(image->height(), 100);
  for (int y = 0; y < 100; y += 7) {
    for (int x = 0; x < 100; x += 7) {
      ASSERT_TRUE(ColorNear(image->surface(), x, y, {128, 128, 128}, 1));
    }
  }
}

TEST_F(PhotoImageTest, PngAlphaIsPremultiplied) {
  std::string path = dir_ / "alpha.png";
  WriteCairoPng(path, 200, 200, [](int, int) { return Color{255, 0, 0, 128}; });
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_TRUE(ColorNear(image->surface(), 100, 100, {128, 0, 0, 128}, 1));
}

TEST_F(PhotoImageTest, InterlacedSixteenBitGrayPngLoads) {
  for (bool interlaced : {false, true}) {
    std::string path = dir_ / (interlaced ? "adam7.png" : "plain16.png");
    WriteGray16Png(path, 240, 160, interlaced, [](int, int y) { return y < 80 ? 0x2020 : 0xE0E0; });
    auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
    ASSERT_TRUE(image->has_bitmap()) << path;
    EXPECT_TRUE(ColorNear(image->surface(), 10, 79, {0x20, 0x20, 0x20}, 1)) << path;
    EXPECT_TRUE(ColorNear(image->surface(), 230, 80, {0xE0, 0xE0, 0xE0}, 1)) << path;
  }
}

TEST_F(PhotoImageTest, FormatIsToldByContentNotName) {
  std::string png_as_jpg = dir_ / "really_png.jpg";
  WriteQuadrantPng(png_as_jpg, 200, 200);
  EXPECT_TRUE(PhotoImage::Load(png_as_jpg, kScreenWidth, kScreenHeight)->has_bitmap());
  EXPECT_TRUE(LoadBytes("really_jpeg.png", QuadrantJpeg(200, 200))->has_bitmap());
  EXPECT_FALSE(LoadBytes("text.jpg", std::string(4096, 'a'))->has_bitmap());
}

// ------------------------------------------------------------- bad input

TEST_F(PhotoImageTest, MissingAndEmptyFilesHaveNoBitmap) {
  auto missing = PhotoImage::Load(dir_ / "nope.jpg", kScreenWidth, kScreenHeight);
  EXPECT_FALSE(missing->has_bitmap());
  EXPECT_EQ(missing->width(), 0);
  EXPECT_EQ(missing->height(), 0);
  EXPECT_EQ(missing->path(), dir_ / "nope.jpg");
  EXPECT_FALSE(LoadBytes("empty.jpg", "")->has_bitmap());
  EXPECT_FALSE(LoadBytes("empty.png", "")->has_bitmap());
  EXPECT_FALSE(PhotoImage::Load(dir_.path(), kScreenWidth, kScreenHeight)->has_bitmap());
  // A FIFO with no writer used to hold the builder in open() for ever.
  ASSERT_EQ(::mkfifo((dir_ / "fifo.jpg").c_str(), 0600), 0);
  EXPECT_FALSE(PhotoImage::Load(dir_ / "fifo.jpg", kScreenWidth, kScreenHeight)->has_bitmap());
}

TEST_F(PhotoImageTest, BrokenJpegsHaveNoBitmap) {
  std::string good = QuadrantJpeg(400, 300);
  std::string garbage;
  for (int i = 0; i < 4000; ++i) garbage += static_cast<char>((i * 37 + 11) & 0xFF);
  EXPECT_FALSE(LoadBytes("corrupt.jpg", "\xFF\xD8\xFF" + garbage)->has_bitmap());
  EXPECT_FALSE(LoadBytes("truncated.jpg", good.substr(0, good.size() / 2))->has_bitmap());
  EXPECT_FALSE(LoadBytes("header_only.jpg", good.substr(0, 700))->has_bitmap());
  EXPECT_FALSE(LoadBytes("soi_only.jpg", good.substr(0, 3))->has_bitmap());
}

TEST_F(PhotoImageTest, BrokenExifIsIgnored) {
  std::string good = QuadrantJpeg(400, 300);
  std::string bad_exif = std::string("\xFF\xE1\x00\x0A", 4) + std::string("Exif\0\0\xFF\xFF", 8);
  auto image = LoadBytes("bad_exif.jpg", good.substr(0, 2) + bad_exif + good.substr(2));
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->rotate_flip(), 0);
  ExpectCorners(*image, {}, 40);
}

TEST_F(PhotoImageTest, BrokenPngsHaveNoBitmap) {
  std::string path = dir_ / "noise.png";
  WriteCairoPng(path, 300, 300, [](int x, int y) {
    return Color{(x * 7 + y * 13) & 0xFF, (x * y) & 0xFF, (x ^ y) & 0xFF, 255};
  });
  std::string good = quol::testing::ReadFileOrEmpty(path);
  ASSERT_TRUE(PhotoImage::Load(path, kScreenWidth, kScreenHeight)->has_bitmap());

  EXPECT_FALSE(LoadBytes("truncated.png", good.substr(0, good.size() / 2))->has_bitmap());
  EXPECT_FALSE(LoadBytes("signature.png", good.substr(0, 8))->has_bitmap());
  EXPECT_FALSE(LoadBytes("garbage.png", good.substr(0, 8) + std::string(500, '\x5A'))->has_bitmap());
  std::string flipped = good;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
  EXPECT_FALSE(LoadBytes("flipped.png", flipped)->has_bitmap());
}

TEST_F(PhotoImageTest, PngClaimingHugeSizeIsRefusedWithinBoundedMemory) {
  ExpectRefusedWithinBoundedMemory(Write("huge.png", HugeHeaderPng(60000, 60000)));
}

TEST_F(PhotoImageTest, PngStreamedAtHugeSizeFailsWithinBoundedMemory) {
  // Small enough to be read row by row, so the broken data is what stops it.
  ExpectRefusedWithinBoundedMemory(Write("streamed.png", HugeHeaderPng(30000, 30000)));
}

TEST_F(PhotoImageTest, JpegClaimingHugeSizeIsRefusedWithinBoundedMemory) {
  ExpectRefusedWithinBoundedMemory(Write(
      "huge_progressive.jpg", WithFrameSize(GrayJpeg(200, 200, TJFLAG_PROGRESSIVE), 65000, 65000)));
  ExpectRefusedWithinBoundedMemory(
      Write("huge_baseline.jpg", WithFrameSize(GrayJpeg(200, 200), 65000, 65000)));
  EXPECT_FALSE(LoadBytes("too_wide.jpg", WithFrameSize(GrayJpeg(200, 200), 65535, 200))
                   ->has_bitmap());
}

TEST_F(PhotoImageTest, JpegIsDecodedAtTheSmallestCoveringScale) {
  EXPECT_EQ(JpegScaleDenominator(4000, 3000, {960, 720}), 4);
  EXPECT_EQ(JpegScaleDenominator(6000, 4000, {256, 170}), 8);
  EXPECT_EQ(JpegScaleDenominator(1000, 500, {1000, 500}), 1);
  // Scaled sizes round up: 1921 / 2 gives 961, which covers 960.
  EXPECT_EQ(JpegScaleDenominator(1921, 1081, {960, 539}), 2);
  EXPECT_EQ(JpegScaleDenominator(1917, 1081, {960, 541}), 1);
}

// ------------------------------------------------------------- placing

// `jpeg` with `bytes` of other metadata segments before its frame header.
std::string WithPadding(const std::string& jpeg, std::size_t bytes) {
  std::string segments;
  for (; bytes > 0; bytes -= std::min<std::size_t>(bytes, 60000)) {
    const std::size_t chunk = std::min<std::size_t>(bytes, 60000);
    segments += "\xFF\xE2";
    Put16(segments, static_cast<int>(chunk + 2), true);
    segments += std::string(chunk, 'p');
  }
  return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

TEST_F(PhotoImageTest, OpeningReadsTheShownSizeFromTheHeaderOnly) {
  struct Case {
    const char* name;
    std::string bytes;
    int shown_width, shown_height;  // 0: refused
  };
  const std::string wide = GrayJpeg(600, 400);
  const Case cases[] = {
      {"jpeg", wide, 600, 400},
      {"turned_quarter", WithOrientation(wide, 6), 400, 600},
      {"turned_half", WithOrientation(wide, 3), 600, 400},
      {"portrait_keeps_stored_shape", WithOrientation(GrayJpeg(400, 600), 8), 400, 600},
      {"frame_after_200k_of_metadata", WithPadding(WithOrientation(wide, 8), 200000), 400, 600},
      {"jpeg_cut_before_frame", wide.substr(0, 20), 0, 0},
      {"jpeg_too_small", GrayJpeg(100, 800), 0, 0},
      // Only the header is read: the data after it is nonsense.
      {"png", HugeHeaderPng(7000, 5000), 7000, 5000},
      {"png_above_pixel_bound", HugeHeaderPng(8000, 5001), 0, 0},
      {"neither", std::string(100, 'x'), 0, 0},
  };
  for (const Case& c : cases) {
    auto image = PhotoImage::Open(Write("photo", c.bytes), kScreenWidth, kScreenHeight);
    EXPECT_FALSE(image->has_bitmap()) << c.name;
    EXPECT_EQ(image->has_size(), c.shown_width > 0) << c.name;
    EXPECT_EQ(image->photo_width(), c.shown_width) << c.name;
    EXPECT_EQ(image->photo_height(), c.shown_height) << c.name;
  }
}

TEST_F(PhotoImageTest, PlacedPhotoIsDecodedAtExactlyItsPlaceTurnedUpright) {
  struct Case {
    const char* name;
    std::string bytes;
    int width, height;
    Quadrants shown;
  };
  const std::string camera = QuadrantJpeg(4000, 3000);
  const Case cases[] = {
      // 1/2 covers 1800 x 1350; no reduced copy in between.
      {"reduced", camera, 1800, 1350, {}},
      {"enlarged", QuadrantJpeg(400, 300), 1500, 1125, {}},
      {"turned", WithOrientation(camera, 6), 900, 1200, {kBlue, kRed, kWhite, kGreen}},
  };
  for (const Case& c : cases) {
    auto image = PhotoImage::Open(Write("placed.jpg", c.bytes), kScreenWidth, kScreenHeight);
    ASSERT_TRUE(image->DecodeToSize(c.width, c.height)) << c.name;
    ASSERT_EQ(image->width(), c.width) << c.name;
    ASSERT_EQ(image->height(), c.height) << c.name;
    ExpectCorners(*image, c.shown, 40);
  }
  auto gone = PhotoImage::Open(dir_ / "nothing.jpg", kScreenWidth, kScreenHeight);
  EXPECT_FALSE(gone->DecodeToSize(100, 100));
}

// ------------------------------------------------------------- CMYK

// Quadrant colours as ink, in the inverted way Adobe's applications store
// it (255 = no ink), as four-byte CMYK pixels.
std::vector<unsigned char> QuadrantCmykPixels(int width, int height, const Quadrants& q) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Color c = QuadrantColor(q, x, y, width, height);
      unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      // Primary colours and white need no black ink.
      p[0] = static_cast<unsigned char>(c.r);
      p[1] = static_cast<unsigned char>(c.g);
      p[2] = static_cast<unsigned char>(c.b);
      p[3] = 255;
    }
  }
  return pixels;
}

// A YCCK JPEG with an Adobe segment, as TurboJPEG writes CMYK.
std::string QuadrantYcckJpeg(int width, int height, const Quadrants& q) {
  return CompressJpeg(QuadrantCmykPixels(width, height, q), width, height, TJPF_CMYK, TJSAMP_444,
                      0);
}

// A CMYK JPEG made by ImageMagick from an RGB picture (it stores CMYK as
// YCCK, inverted, with its own colour conversion).
std::string QuadrantCmykJpegByImageMagick(const TempDir& dir, int width, int height,
                                          const Quadrants& q) {
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Color c = QuadrantColor(q, x, y, width, height);
      ppm += static_cast<char>(c.r);
      ppm += static_cast<char>(c.g);
      ppm += static_cast<char>(c.b);
    }
  }
  std::string in = dir / "cmyk_source.ppm";
  std::string out = dir / "cmyk_by_convert.jpg";
  WriteFileOrDie(in, ppm);
  std::string command = "convert '" + in + "' -colorspace CMYK -quality 95 '" + out + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  return quol::testing::ReadFileOrEmpty(out);
}

// The Adobe component-transform byte of a JPEG's APP14 segment; -1 without.
int AdobeTransform(const std::string& jpeg) {
  std::size_t at = jpeg.find("\xFF\xEE");
  if (at == std::string::npos || jpeg.compare(at + 4, 5, "Adobe") != 0) return -1;
  return static_cast<unsigned char>(jpeg[at + 15]);
}

struct CmykCase {
  const char* name;
  std::function<std::string(const TempDir&)> make;
  int adobe_transform;  // 2: YCCK
};

void PrintTo(const CmykCase& c, std::ostream* out) { *out << c.name; }

class CmykJpegTest : public PhotoImageTest, public ::testing::WithParamInterface<CmykCase> {};

TEST_P(CmykJpegTest, LoadsInItsColours) {
  const Quadrants q{kRed, kGreen, kBlue, kYellow};
  std::string jpeg = GetParam().make(dir_);
  ASSERT_EQ(AdobeTransform(jpeg), GetParam().adobe_transform);
  // Within the screen, and reduced (decoded at 1/2).
  for (auto [screen_width, screen_height, kept_width] :
       {std::tuple{kScreenWidth, kScreenHeight, 400}, std::tuple{400, 200, 200}}) {
    auto image = LoadBytes("cmyk.jpg", jpeg, screen_width, screen_height);
    ASSERT_TRUE(image->has_bitmap());
    EXPECT_EQ(image->width(), kept_width);
    ExpectCorners(*image, q, 40);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CmykJpegTest,
    ::testing::Values(
        CmykCase{"turbojpeg",
                 [](const TempDir&) {
                   return QuadrantYcckJpeg(400, 300, {kRed, kGreen, kBlue, kYellow});
                 },
                 2},
        CmykCase{"imagemagick",
                 [](const TempDir& dir) {
                   return QuadrantCmykJpegByImageMagick(dir, 400, 300,
                                                        {kRed, kGreen, kBlue, kYellow});
                 },
                 2}),
    [](const ::testing::TestParamInfo<CmykCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- decoding time

// A grey 8-bit PNG written a row at a time with the fastest compression, so
// that large ones are quick to make.
bool WriteGrayRows(png_structp png, png_infop info, std::FILE* file, png_uint_32 width,
                   png_uint_32 height) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<unsigned char> row(width, 0x80);
  for (png_uint_32 y = 0; y < height; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  return true;
}

void WriteGrayPng(const std::string& path, int width, int height) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                       &std::fclose);
  PngWriteHandles handles;
  handles.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  handles.info = png_create_info_struct(handles.png);
  if (!file || !WriteGrayRows(handles.png, handles.info, file.get(), width, height)) {
    throw std::runtime_error("cannot write " + path);
  }
}

struct PixelBoundCase {
  const char* name;
  bool png;
  int width, height;
  bool loads;
};

void PrintTo(const PixelBoundCase& c, std::ostream* out) { *out << c.name; }

class PhotoPixelBoundTest : public PhotoImageTest,
                            public ::testing::WithParamInterface<PixelBoundCase> {};

TEST_P(PhotoPixelBoundTest, LargePhotosAreRefusedByTheirPixelCount) {
  const PixelBoundCase& c = GetParam();
  std::string path = dir_ / (c.png ? "big.png" : "big.jpg");
  if (c.png) {
    WriteGrayPng(path, c.width, c.height);
  } else {
    WriteFileOrDie(path, GrayJpeg(c.width, c.height));
  }
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  ASSERT_EQ(image->has_bitmap(), c.loads);
  if (c.loads) {
    EXPECT_EQ(image->width(), 256);
    EXPECT_TRUE(ColorNear(image->surface(), 128, image->height() / 2, {0x80, 0x80, 0x80}, 6));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PhotoPixelBoundTest,
    ::testing::Values(PixelBoundCase{"camera_50mp_jpeg", false, 8688, 5792, true},
                      PixelBoundCase{"jpeg_at_bound", false, 12000, 10000, true},
                      PixelBoundCase{"jpeg_above_bound", false, 12000, 10001, false},
                      PixelBoundCase{"png_at_bound", true, 8000, 5000, true},
                      PixelBoundCase{"png_above_bound", true, 8000, 5001, false},
                      PixelBoundCase{"png_long_strip", true, 40001, 1000, false}),
    [](const ::testing::TestParamInfo<PixelBoundCase>& info) {
      return std::string(info.param.name);
    });

// ------------------------------------------------------------- failure log

std::size_t CountOf(const std::string& text, const std::string& fragment) {
  std::size_t count = 0;
  for (std::size_t at = text.find(fragment); at != std::string::npos;
       at = text.find(fragment, at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(PhotoImageTest, EachFailingPhotoIsLoggedOnce) {
  PhotoImage::ForgetFailedLoads();
  LogCapture log;
  std::string broken = Write("broken.jpg", "\xFF\xD8\xFF" + std::string(500, 'x'));
  std::string missing = dir_ / "missing.png";
  std::string good = Write("good.jpg", QuadrantJpeg(200, 200));
  // A folder's photos dealt three times over.
  for (int round = 0; round < 3; ++round) {
    for (const std::string& path : {broken, missing, good}) {
      PhotoImage::Load(path, kScreenWidth, kScreenHeight);
    }
  }
  struct Expected {
    std::string path;
    std::size_t lines;
  };
  for (const Expected& e : {Expected{broken, 1}, Expected{missing, 1}, Expected{good, 0}}) {
    EXPECT_EQ(CountOf(log.Text(), "Photo " + e.path + " could not be loaded"), e.lines) << e.path;
  }
  PhotoImage::ForgetFailedLoads();
  PhotoImage::Load(broken, kScreenWidth, kScreenHeight);
  EXPECT_EQ(CountOf(log.Text(), "Photo " + broken + " could not be loaded"), 2u);
}

TEST_F(PhotoImageTest, RememberedFailuresAreBounded) {
  PhotoImage::ForgetFailedLoads();
  LogCapture log;
  for (int i = 0; i < 10050; ++i) {
    PhotoImage::Load(dir_ / ("gone" + std::to_string(i) + ".jpg"), kScreenWidth, kScreenHeight);
    ASSERT_LE(PhotoImage::RememberedFailedLoadsForTesting(), 10000u);
  }
  EXPECT_GT(PhotoImage::RememberedFailedLoadsForTesting(), 0u);
  // Every distinct file was still logged.
  EXPECT_EQ(CountOf(log.Text(), " could not be loaded"), 10050u);
  PhotoImage::ForgetFailedLoads();
}

// ------------------------------------------------------------- drawing

class PhotoDrawTest : public PhotoImageTest {
 protected:
  void SetUp() override {
    target_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 600, 200);
    cr_ = cairo_create(target_);
    cairo_set_source_rgb(cr_, 1, 1, 1);
    cairo_paint(cr_);
    path_ = dir_ / "draw.png";
    WriteQuadrantPng(path_, 200, 150, {kRed, kGreen, kBlue, kYellow});
  }
  void TearDown() override {
    cairo_destroy(cr_);
    cairo_surface_destroy(target_);
  }

  // Dark pixels: count and bounding box.
  struct Dark {
    int count = 0, left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
  };
  Dark FindDark() {
    Dark dark;
    for (int y = 0; y < 200; ++y) {
      for (int x = 0; x < 600; ++x) {
        Color c = PixelAt(target_, x, y);
        if (c.r < 80 && c.g < 80 && c.b < 80) {
          ++dark.count;
          dark.left = std::min(dark.left, x);
          dark.right = std::max(dark.right, x);
          dark.top = std::min(dark.top, y);
          dark.bottom = std::max(dark.bottom, y);
        }
      }
    }
    return dark;
  }

  cairo_surface_t* target_ = nullptr;
  cairo_t* cr_ = nullptr;
  std::string path_;
};

TEST_F(PhotoDrawTest, PhotoFillsTheRectangleScaled) {
  auto image = PhotoImage::Load(path_, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_EQ(image->Draw(cr_, 100, 50, 400, 100), 0);
  // Scaled 2x across, 2/3 down; each quadrant lands in its quarter.
  EXPECT_TRUE(ColorNear(target_, 101, 51, kRed, 8));
  EXPECT_TRUE(ColorNear(target_, 498, 51, kGreen, 8));
  EXPECT_TRUE(ColorNear(target_, 101, 148, kBlue, 8));
  EXPECT_TRUE(ColorNear(target_, 498, 148, kYellow, 8));
  EXPECT_TRUE(ColorNear(target_, 250, 75, kRed, 8));
  // Nothing outside the rectangle.
  EXPECT_TRUE(ColorNear(target_, 99, 51, kWhite, 0));
  EXPECT_TRUE(ColorNear(target_, 500, 148, kWhite, 0));
  EXPECT_TRUE(ColorNear(target_, 300, 49, kWhite, 0));
  EXPECT_TRUE(ColorNear(target_, 300, 150, kWhite, 0));
}

TEST_F(PhotoDrawTest, NothingToDrawWithoutBitmap) {
  LogCapture log;
  auto image = PhotoImage::Load(dir_ / "missing.png", kScreenWidth, kScreenHeight);
  EXPECT_EQ(image->Draw(cr_, 0, 0, 600, 200), 0);
  EXPECT_EQ(FindDark().count, 0);
  EXPECT_TRUE(ColorNear(target_, 300, 100, kWhite, 0));
  EXPECT_FALSE(log.Contains("failed"));
}

TEST_F(PhotoDrawTest, FailedDrawIsRetriedWithAFreshDecode) {
  LogCapture log;
  auto image = PhotoImage::Load(path_, kScreenWidth, kScreenHeight);
  PhotoImageTestPeer::FailNextDraws(*image, 1);
  EXPECT_EQ(image->Draw(cr_, 100, 50, 400, 100), 0);
  EXPECT_TRUE(image->has_bitmap());
  EXPECT_TRUE(ColorNear(target_, 101, 51, kRed, 8));
  EXPECT_FALSE(log.Contains("failed"));
}

TEST_F(PhotoDrawTest, DrawFailingTwiceShowsPathAndStatus) {
  LogCapture log;
  auto image = PhotoImage::Load(path_, kScreenWidth, kScreenHeight);
  PhotoImageTestPeer::FailNextDraws(*image, 2);
  EXPECT_EQ(image->Draw(cr_, 50, 40, 500, 120), 7);
  EXPECT_TRUE(log.Contains("Render " + path_ + " failed: 7")) << log.Text();
  EXPECT_FALSE(log.Contains("Load Failed"));

  Dark dark = FindDark();
  ASSERT_GT(dark.count, 30);
  // Inside the rectangle, centred in it.
  EXPECT_GE(dark.left, 50);
  EXPECT_LT(dark.right, 550);
  EXPECT_GE(dark.top, 40);
  EXPECT_LT(dark.bottom, 160);
  EXPECT_NEAR((dark.left + dark.right) / 2.0, 300, 12);
  EXPECT_NEAR((dark.top + dark.bottom) / 2.0, 100, 8);
}

TEST_F(PhotoDrawTest, FileGoneWhenRedrawingLogsTheLoadFailure) {
  LogCapture log;
  auto image = PhotoImage::Load(path_, kScreenWidth, kScreenHeight);
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  PhotoImageTestPeer::FailNextDraws(*image, 1);
  EXPECT_EQ(image->Draw(cr_, 50, 40, 500, 120), 7);
  EXPECT_FALSE(image->has_bitmap());
  EXPECT_TRUE(log.Contains("Load Failed: 7"));
  EXPECT_TRUE(log.Contains("Render " + path_ + " failed: 7"));
  EXPECT_GT(FindDark().count, 30);
}

TEST_F(PhotoDrawTest, BrokenCairoContextReportsFailure) {
  LogCapture log;
  auto image = PhotoImage::Load(path_, kScreenWidth, kScreenHeight);
  cairo_surface_t* broken_surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, -1, -1);
  cairo_t* broken = cairo_create(broken_surface);
  EXPECT_EQ(image->Draw(broken, 0, 0, 100, 100), 7);
  EXPECT_TRUE(log.Contains("Render " + path_ + " failed: 7"));
  cairo_destroy(broken);
  cairo_surface_destroy(broken_surface);
}

}  // namespace
}  // namespace quol::saver
