// Phone photo formats (HEIC, AVIF, WebP) as the collage loads them. The
// test files are made at run time from generated pictures with the system's
// encoders (heif-enc, avifenc, cwebp); a test whose encoder is missing is
// skipped. Files the encoders cannot write (a HEIC with irot and a
// contradicting EXIF orientation, a colour-tagged HEIC, an embedded
// thumbnail) are written through libheif's encoding interface.
#include <cairo.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/photos/photo_decode.h"
#include "screensaver/photos/photo_formats.h"
#include "screensaver/photos/photo_image.h"

namespace quol::saver {
namespace {

using quol::testing::LogCapture;
using quol::testing::TempDir;
using quol::testing::WriteFileOrDie;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
constexpr int kWidth = 320;  // the stored test picture, landscape
constexpr int kHeight = 200;

struct Rgb {
  int r = 0, g = 0, b = 0;
};
std::ostream& operator<<(std::ostream& out, const Rgb& c) {
  return out << "rgb(" << c.r << "," << c.g << "," << c.b << ")";
}
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kWhite{255, 255, 255};

// What each corner shows.
struct Corners {
  Rgb top_left, top_right, bottom_left, bottom_right;
};
// The stored picture: one colour per quadrant, no two corners alike, so any
// turn or flip shows.
constexpr Corners kStored{kRed, kGreen, kBlue, kWhite};
// The stored picture turned a quarter clockwise.
constexpr Corners kTurnedClockwise{kBlue, kRed, kWhite, kGreen};

using Pixels = std::vector<unsigned char>;  // RGB, 8 bits each

Pixels Picture(int width, int height, const std::function<Rgb(int, int)>& colour) {
  Pixels pixels(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<unsigned char>(c.r);
      p[1] = static_cast<unsigned char>(c.g);
      p[2] = static_cast<unsigned char>(c.b);
    }
  }
  return pixels;
}

Pixels Quadrants(int width, int height) {
  return Picture(width, height, [=](int x, int y) {
    const bool right = x >= width / 2, bottom = y >= height / 2;
    return bottom ? (right ? kStored.bottom_right : kStored.bottom_left)
                  : (right ? kStored.top_right : kStored.top_left);
  });
}

Pixels Plain(int width, int height, Rgb colour) {
  return Picture(width, height, [=](int, int) { return colour; });
}

// An 8-bit RGB PNG, optionally with an ICC profile.
void WritePng(const std::string& path, int width, int height, const Pixels& pixels,
              const std::vector<unsigned char>& icc = {}) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    rows[static_cast<std::size_t>(y)] =
        const_cast<unsigned char*>(&pixels[static_cast<std::size_t>(y) * width * 3]);
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!icc.empty()) {
    png_set_iCCP(png, info, "photo", 0, icc.data(), static_cast<png_uint_32>(icc.size()));
  }
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

// A 16-bit RGB PNG of a grey ramp across the width: 0 at the left, full
// scale at the right.
void WriteRamp16Png(const std::string& path, int width, int height) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 6);
  for (int x = 0; x < width; ++x) {
    const int v = static_cast<int>(std::lround(x * 65535.0 / (width - 1)));
    for (int c = 0; c < 3; ++c) {
      row[static_cast<std::size_t>(x) * 6 + c * 2] = static_cast<unsigned char>(v >> 8);
      row[static_cast<std::size_t>(x) * 6 + c * 2 + 1] = static_cast<unsigned char>(v & 0xFF);
    }
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool HaveTool(const char* name) { return ::access((std::string("/usr/bin/") + name).c_str(), X_OK) == 0; }

bool RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

void PutLittle32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PutLittle24(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 3; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A TIFF block holding only an EXIF orientation tag (little-endian).
std::string ExifWithOrientation(int orientation) {
  std::string tiff("II\x2A\x00\x08\x00\x00\x00", 8);
  tiff += std::string("\x01\x00", 2);                      // one entry
  tiff += std::string("\x12\x01\x03\x00\x01\x00\x00\x00", 8);  // Orientation, SHORT, 1
  tiff += static_cast<char>(orientation);
  tiff += std::string("\x00\x00\x00", 3);
  tiff += std::string("\x00\x00\x00\x00", 4);  // no next IFD
  return tiff;
}

std::string RiffChunk(const std::string& type, const std::string& body) {
  std::string chunk = type;
  PutLittle32(chunk, static_cast<std::uint32_t>(body.size()));
  chunk += body;
  if (body.size() % 2 != 0) chunk += '\0';
  return chunk;
}

// The image chunks of a simple WebP file (what follows "RIFF....WEBP").
std::string WebpImageChunks(const std::string& simple) { return simple.substr(12); }

std::string RiffWebp(const std::string& chunks) {
  std::string file = "RIFF";
  PutLittle32(file, static_cast<std::uint32_t>(chunks.size() + 4));
  return file + "WEBP" + chunks;
}

// An extended WebP: the simple file's image with an EXIF and/or ICCP chunk.
std::string ExtendedWebp(const std::string& simple, int width, int height,
                         const std::string& exif, const std::string& icc) {
  std::string vp8x;
  vp8x += static_cast<char>((icc.empty() ? 0 : 0x20) | (exif.empty() ? 0 : 0x08));
  vp8x += std::string(3, '\0');
  PutLittle24(vp8x, static_cast<std::uint32_t>(width - 1));
  PutLittle24(vp8x, static_cast<std::uint32_t>(height - 1));
  std::string chunks = RiffChunk("VP8X", vp8x);
  if (!icc.empty()) chunks += RiffChunk("ICCP", icc);
  chunks += WebpImageChunks(simple);
  if (!exif.empty()) chunks += RiffChunk("EXIF", exif);
  return RiffWebp(chunks);
}

// An animated WebP of simple files of the same size, one frame each, on a
// canvas of their size unless another is given.
std::string AnimatedWebp(const std::vector<std::string>& frames, int width, int height,
                         int canvas_width = 0, int canvas_height = 0) {
  std::string vp8x;
  vp8x += static_cast<char>(0x02);  // animation
  vp8x += std::string(3, '\0');
  PutLittle24(vp8x, static_cast<std::uint32_t>((canvas_width > 0 ? canvas_width : width) - 1));
  PutLittle24(vp8x, static_cast<std::uint32_t>((canvas_height > 0 ? canvas_height : height) - 1));
  std::string anim(6, '\0');  // background colour 0, loop forever
  std::string chunks = RiffChunk("VP8X", vp8x) + RiffChunk("ANIM", anim);
  for (const std::string& frame : frames) {
    std::string anmf;
    PutLittle24(anmf, 0);
    PutLittle24(anmf, 0);
    PutLittle24(anmf, static_cast<std::uint32_t>(width - 1));
    PutLittle24(anmf, static_cast<std::uint32_t>(height - 1));
    PutLittle24(anmf, 100);  // ms
    anmf += '\0';
    chunks += RiffChunk("ANMF", anmf + WebpImageChunks(frame));
  }
  return RiffWebp(chunks);
}

// Display P3 (P3 primaries, D65, the sRGB curve) as an ICC profile.
std::string DisplayP3Icc() {
  const cmsCIExyY white{0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
  const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::string bytes(size, '\0');
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(curve);
  return bytes;
}

// What libheif's encoding interface adds to a HEIC.
struct HeicExtras {
  heif_orientation orientation = heif_orientation_normal;  // written as irot/imir
  int exif_orientation = 0;                                // an EXIF block too
  bool p3_nclx = false;
  std::string icc;
  const Pixels* thumbnail = nullptr;  // its own picture, of thumbnail_width
  int thumbnail_width = 0, thumbnail_height = 0;
};

heif_image* HeifImage(const Pixels& pixels, int width, int height) {
  heif_image* image = nullptr;
  heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, width, height, 8);
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (int y = 0; y < height; ++y) {
    std::memcpy(plane + static_cast<std::size_t>(stride) * y,
                &pixels[static_cast<std::size_t>(y) * width * 3], static_cast<std::size_t>(width) * 3);
  }
  return image;
}

bool EncodeHeic(const std::string& path, const Pixels& pixels, int width, int height,
                const HeicExtras& extras) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code !=
      heif_error_Ok) {
    heif_context_free(context);
    return false;
  }
  heif_encoder_set_lossy_quality(encoder, 95);
  heif_encoder_set_parameter_string(encoder, "chroma", "444");
  heif_image* image = HeifImage(pixels, width, height);
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  nclx->color_primaries = extras.p3_nclx ? heif_color_primaries_SMPTE_EG_432_1
                                         : heif_color_primaries_ITU_R_BT_709_5;
  nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
  nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
  nclx->full_range_flag = 1;
  heif_image_set_nclx_color_profile(image, nclx);
  if (!extras.icc.empty()) {
    heif_image_set_raw_color_profile(image, "prof", extras.icc.data(), extras.icc.size());
  }
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = extras.orientation;
  options->macOS_compatibility_workaround_no_nclx_profile = 0;
  options->save_two_colr_boxes_when_ICC_and_nclx_available = 1;
  heif_image_handle* handle = nullptr;
  bool ok = heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok;
  if (ok && extras.exif_orientation != 0) {
    const std::string exif = ExifWithOrientation(extras.exif_orientation);
    ok = heif_context_add_exif_metadata(context, handle, exif.data(), static_cast<int>(exif.size()))
             .code == heif_error_Ok;
  }
  if (ok && extras.thumbnail != nullptr) {
    heif_image* small = HeifImage(*extras.thumbnail, extras.thumbnail_width, extras.thumbnail_height);
    heif_image_handle* thumb = nullptr;
    ok = heif_context_encode_image(context, small, encoder, options, &thumb).code == heif_error_Ok &&
         // libheif 1.15 takes the two the other way round from what its
         // header says: the thumbnail first, then the image it belongs to.
         heif_context_assign_thumbnail(context, thumb, handle).code == heif_error_Ok;
    // Assigned as a thumbnail it is no longer a top-level image of its own.
    if (thumb != nullptr) heif_image_handle_release(thumb);
    heif_image_release(small);
  }
  if (ok) heif_context_set_primary_image(context, handle);
  ok = ok && heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
  if (handle != nullptr) heif_image_handle_release(handle);
  heif_encoding_options_free(options);
  heif_nclx_color_profile_free(nclx);
  heif_image_release(image);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return ok;
}

// Encodes in a child process: x265 keeps allocations of its own after the
// encoder is released, which the sanitizer build's leak checker would blame
// on the test program.
bool WriteHeicWithLibheif(const std::string& path, const Pixels& pixels, int width, int height,
                          const HeicExtras& extras) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) std::_Exit(EncodeHeic(path, pixels, width, height, extras) ? 0 : 1);
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Sets every ispe box (the stored size of each image item) to w x h.
std::string WithIspe(std::string heif, std::uint32_t width, std::uint32_t height) {
  std::size_t patched = 0;
  for (std::size_t at = heif.find("ispe"); at != std::string::npos; at = heif.find("ispe", at + 4)) {
    if (at + 16 > heif.size()) break;
    for (int i = 0; i < 4; ++i) {
      heif[at + 8 + i] = static_cast<char>((width >> (24 - 8 * i)) & 0xFF);
      heif[at + 12 + i] = static_cast<char>((height >> (24 - 8 * i)) & 0xFF);
    }
    ++patched;
  }
  if (patched == 0) throw std::runtime_error("no ispe box");
  return heif;
}

// A simple lossy WebP's frame header claiming w x h (14 bits each).
std::string WithVp8Size(std::string webp, int width, int height) {
  if (webp.size() < 30 || webp.compare(12, 4, "VP8 ") != 0) throw std::runtime_error("not VP8");
  webp[26] = static_cast<char>(width & 0xFF);
  webp[27] = static_cast<char>((width >> 8) & 0x3F);
  webp[28] = static_cast<char>(height & 0xFF);
  webp[29] = static_cast<char>((height >> 8) & 0x3F);
  return webp;
}

Rgb PixelAt(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const unsigned char* row =
      cairo_image_surface_get_data(surface) + cairo_image_surface_get_stride(surface) * y;
  std::uint32_t p = 0;
  std::memcpy(&p, row + static_cast<std::size_t>(x) * 4, sizeof p);
  return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
          static_cast<int>(p & 0xFF)};
}

::testing::AssertionResult Near(cairo_surface_t* surface, int x, int y, Rgb expected,
                                int tolerance) {
  const Rgb got = PixelAt(surface, x, y);
  if (std::abs(got.r - expected.r) <= tolerance && std::abs(got.g - expected.g) <= tolerance &&
      std::abs(got.b - expected.b) <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "pixel (" << x << "," << y << ") is " << got << ", expected " << expected;
}

void ExpectCorners(const PhotoImage& image, const Corners& corners) {
  ASSERT_TRUE(image.has_bitmap());
  cairo_surface_t* s = image.surface();
  const int w = image.width(), h = image.height(), in = 6;
  constexpr int kTolerance = 40;  // lossy coding at the quadrants' edges
  EXPECT_TRUE(Near(s, in, in, corners.top_left, kTolerance)) << "top left";
  EXPECT_TRUE(Near(s, w - 1 - in, in, corners.top_right, kTolerance)) << "top right";
  EXPECT_TRUE(Near(s, in, h - 1 - in, corners.bottom_left, kTolerance)) << "bottom left";
  EXPECT_TRUE(Near(s, w - 1 - in, h - 1 - in, corners.bottom_right, kTolerance))
      << "bottom right";
}

#if !defined(__SANITIZE_ADDRESS__)
// In a child: loads under an address-space limit of 1 GiB above what the
// process already uses; exits 0 when the load failed with the peak memory
// grown by less than 192 MiB.
[[noreturn]] void LoadUnderMemoryLimitAndExit(const std::string& path) {
  long pages = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages;
  const rlim_t limit =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (1ull << 30);
  rlimit rl{limit, limit};
  ::setrlimit(RLIMIT_AS, &rl);
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  if (image->has_bitmap() || image->has_size()) std::_Exit(1);
  std::_Exit(after.ru_maxrss - before.ru_maxrss < 192 * 1024 ? 0 : 2);  // KiB
}
#endif

void ExpectRefusedWithinBoundedMemory(const std::string& path) {
#if defined(__SANITIZE_ADDRESS__)
  auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
  EXPECT_FALSE(image->has_size());
  EXPECT_FALSE(image->has_bitmap());
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoadUnderMemoryLimitAndExit(path), ::testing::ExitedWithCode(0), "");
#endif
}

std::size_t CountOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// ------------------------------------------------------------- the files

enum class Format { kHeic, kAvif, kWebp };

const char* Name(Format format) {
  switch (format) {
    case Format::kHeic: return "heic";
    case Format::kAvif: return "avif";
    case Format::kWebp: return "webp";
  }
  return "";
}

const char* Encoder(Format format) {
  switch (format) {
    case Format::kHeic: return "heif-enc";
    case Format::kAvif: return "avifenc";
    case Format::kWebp: return "cwebp";
  }
  return "";
}

class PhoneFormatTest : public ::testing::Test {
 protected:
  // `png` encoded in `format`; empty when the encoder failed.
  std::string Encode(Format format, const std::string& png, const std::string& name,
                     const std::string& options = "") {
    const std::string out = dir_ / name;
    std::string command;
    switch (format) {
      case Format::kHeic: command = "heif-enc -q 92 " + options + " -o " + out + " " + png; break;
      case Format::kAvif: command = "avifenc " + options + " " + png + " " + out; break;
      case Format::kWebp: command = "cwebp -quiet -q 92 " + options + " " + png + " -o " + out; break;
    }
    return RunQuietly(command) ? ReadAll(out) : std::string();
  }

  std::string Png(const std::string& name, int width, int height, const Pixels& pixels,
                  const std::string& icc = "") {
    const std::string path = dir_ / name;
    WritePng(path, width, height, pixels, std::vector<unsigned char>(icc.begin(), icc.end()));
    return path;
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ / name;
    WriteFileOrDie(path, bytes);
    return path;
  }

  TempDir dir_;
  LogCapture quiet_log_;  // failed loads are logged, never into the real data folder
};

#define SKIP_WITHOUT(tool)                                                   \
  if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (/usr/bin/" << tool << ")"

// ------------------------------------------------------------- each format x each kind of file

enum class Kind { kPlain, kOriented, kExifOnly, kTooSmall, kTruncated, kZeroLength, kHugeHeader };

const char* Name(Kind kind) {
  switch (kind) {
    case Kind::kPlain: return "plain";
    case Kind::kOriented: return "oriented";
    case Kind::kExifOnly: return "exif_only";
    case Kind::kTooSmall: return "too_small";
    case Kind::kTruncated: return "truncated";
    case Kind::kZeroLength: return "zero_length";
    case Kind::kHugeHeader: return "huge_header";
  }
  return "";
}

struct FileCase {
  Format format;
  Kind kind;
};

class PhoneFileTest : public PhoneFormatTest, public ::testing::WithParamInterface<FileCase> {
 protected:
  // The case's file, written; empty when it could not be made.
  std::string MakeFile(const FileCase& c) {
    const std::string name = std::string(Name(c.kind)) + "." + Name(c.format);
    const std::string picture = Png("picture.png", kWidth, kHeight, Quadrants(kWidth, kHeight));
    switch (c.kind) {
      case Kind::kPlain: return Write(name, Encode(c.format, picture, "plain"));
      case Kind::kOriented: return Oriented(c.format, picture, name);
      case Kind::kExifOnly: return ExifOnly(c.format, picture, name);
      case Kind::kTooSmall:
        return Write(name, Encode(c.format, Png("small.png", 100, 80, Quadrants(100, 80)), "small"));
      case Kind::kTruncated: {
        const std::string whole = Encode(c.format, picture, "whole");
        return whole.empty() ? "" : Write(name, whole.substr(0, whole.size() / 2));
      }
      case Kind::kZeroLength: return Write(name, "");
      case Kind::kHugeHeader: {
        const std::string whole = Encode(c.format, picture, "whole");
        if (whole.empty()) return "";
        return Write(name, c.format == Format::kWebp ? WithVp8Size(whole, 16383, 16383)
                                                     : WithIspe(whole, 100000, 100000));
      }
    }
    return "";
  }

  // Stored as the landscape picture, shown turned a quarter clockwise: HEIC
  // and AVIF through irot (with an EXIF orientation that says otherwise and
  // must be ignored), WebP through its EXIF orientation.
  std::string Oriented(Format format, const std::string& picture, const std::string& name) {
    switch (format) {
      case Format::kHeic: {
        HeicExtras extras;
        extras.orientation = heif_orientation_rotate_90_cw;
        extras.exif_orientation = 8;  // "turn a quarter anticlockwise": ignored
        const std::string path = dir_ / name;
        return WriteHeicWithLibheif(path, Quadrants(kWidth, kHeight), kWidth, kHeight, extras)
                   ? path
                   : "";
      }
      case Format::kAvif: {
        const std::string exif = Write("exif.bin", ExifWithOrientation(8));
        // irot 3: three quarters anticlockwise, one clockwise.
        return Write(name, Encode(format, picture, "oriented", "--irot 3 --exif " + exif));
      }
      case Format::kWebp: {
        const std::string simple = Encode(format, picture, "simple");
        if (simple.empty()) return "";
        return Write(name, ExtendedWebp(simple, kWidth, kHeight, ExifWithOrientation(6), ""));
      }
    }
    return "";
  }
  // The landscape picture with an EXIF orientation 6 ("turn a quarter
  // clockwise") and no irot or imir of its own, as tools that carry a
  // camera's EXIF over write a HEIC: turned like a JPEG. (avifenc writes the
  // EXIF orientation as irot/imir as well, so the AVIF is turned by those.)
  std::string ExifOnly(Format format, const std::string& picture, const std::string& name) {
    switch (format) {
      case Format::kHeic: {
        HeicExtras extras;
        extras.exif_orientation = 6;
        const std::string path = dir_ / name;
        return WriteHeicWithLibheif(path, Quadrants(kWidth, kHeight), kWidth, kHeight, extras)
                   ? path
                   : "";
      }
      case Format::kAvif: {
        const std::string exif = Write("exif6.bin", ExifWithOrientation(6));
        return Write(name, Encode(format, picture, "exif_only", "--exif " + exif));
      }
      case Format::kWebp: return Oriented(format, picture, name);
    }
    return "";
  }
};

TEST_P(PhoneFileTest, LoadsUprightOrIsRefused) {
  const FileCase c = GetParam();
  SKIP_WITHOUT(Encoder(c.format));
  const std::string path = MakeFile(c);
  ASSERT_FALSE(path.empty()) << "the test file could not be made";
  LogCapture log;
  PhotoImage::ForgetFailedLoads();
  switch (c.kind) {
    case Kind::kPlain: {
      auto image = PhotoImage::Open(path, kScreenWidth, kScreenHeight);
      EXPECT_EQ(image->photo_width(), kWidth);
      EXPECT_EQ(image->photo_height(), kHeight);
      ASSERT_TRUE(image->DecodeToSize(kWidth / 2, kHeight / 2));
      EXPECT_EQ(image->width(), kWidth / 2);
      EXPECT_EQ(image->height(), kHeight / 2);
      ExpectCorners(*image, kStored);
      // Before it has a place: within the screen, at its own size.
      auto loaded = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
      EXPECT_EQ(loaded->width(), kWidth);
      ExpectCorners(*loaded, kStored);
      break;
    }
    case Kind::kOriented:
    case Kind::kExifOnly: {
      auto image = PhotoImage::Open(path, kScreenWidth, kScreenHeight);
      // The layout sees the photo as shown, before any pixel is decoded.
      EXPECT_EQ(image->photo_width(), kHeight);
      EXPECT_EQ(image->photo_height(), kWidth);
      ASSERT_TRUE(image->DecodeToSize(kHeight, kWidth));
      EXPECT_EQ(image->width(), kHeight);
      EXPECT_EQ(image->height(), kWidth);
      ExpectCorners(*image, kTurnedClockwise);
      break;
    }
    case Kind::kHugeHeader:
      ExpectRefusedWithinBoundedMemory(path);
      [[fallthrough]];
    case Kind::kTooSmall:
    case Kind::kZeroLength: {
      EXPECT_FALSE(ReadPhotoHeader(path).has_value());
      EXPECT_FALSE(PhotoImage::Open(path, kScreenWidth, kScreenHeight)->has_size());
      break;
    }
    case Kind::kTruncated:
      break;
  }
  if (c.kind != Kind::kPlain && c.kind != Kind::kOriented && c.kind != Kind::kExifOnly) {
    // No bitmap, however often it is dealt, and logged once.
    for (int round = 0; round < 3; ++round) {
      EXPECT_FALSE(PhotoImage::Load(path, kScreenWidth, kScreenHeight)->has_bitmap());
      auto placed = PhotoImage::Open(path, kScreenWidth, kScreenHeight);
      EXPECT_FALSE(placed->DecodeToSize(160, 100));
    }
    EXPECT_EQ(CountOf(log.Text(), "Photo " + path + " could not be loaded"), 1u);
  }
}

std::vector<FileCase> AllFileCases() {
  std::vector<FileCase> cases;
  for (Format format : {Format::kHeic, Format::kAvif, Format::kWebp}) {
    for (Kind kind : {Kind::kPlain, Kind::kOriented, Kind::kExifOnly, Kind::kTooSmall,
                      Kind::kTruncated, Kind::kZeroLength, Kind::kHugeHeader}) {
      cases.push_back({format, kind});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EachFormat, PhoneFileTest, ::testing::ValuesIn(AllFileCases()),
                         [](const ::testing::TestParamInfo<FileCase>& info) {
                           return std::string(Name(info.param.format)) + "_" +
                                  Name(info.param.kind);
                         });

// ------------------------------------------------------------- HEIF specifics

TEST_F(PhoneFormatTest, HugeSizeWithinLibheifsSideLimitIsRefusedByPixelCount) {
  SKIP_WITHOUT("heif-enc");
  const std::string picture = Png("picture.png", kWidth, kHeight, Quadrants(kWidth, kHeight));
  const std::string heic = Encode(Format::kHeic, picture, "whole.heic");
  ASSERT_FALSE(heic.empty());
  // 20000 x 20000: each side allowed, 400 MP are not.
  const std::string path = Write("big.heic", WithIspe(heic, 20000, 20000));
  ExpectRefusedWithinBoundedMemory(path);
  EXPECT_FALSE(ReadPhotoHeader(path).has_value());
}

// The container claims a small image while the coded stream inside is
// many times larger: the decoder would allocate the stream's size, so the
// file is refused from its boxes, before any decoding. The same stream with
// its own size loads.
TEST_F(PhoneFormatTest, StreamLargerThanItsContainerSaysIsRefusedBeforeDecoding) {
  const std::string picture = Png("flat.png", 2400, 1600, Plain(2400, 1600, kRed));
  for (Format format : {Format::kHeic, Format::kAvif}) {
    SCOPED_TRACE(Name(format));
    if (!HaveTool(Encoder(format))) continue;
    const std::string whole = Encode(format, picture, std::string("whole.") + Name(format));
    ASSERT_FALSE(whole.empty());
    const std::string honest = Write(std::string("honest.") + Name(format), whole);
    ASSERT_TRUE(ReadPhotoHeader(honest).has_value());
    EXPECT_TRUE(PhotoImage::Open(honest, kScreenWidth, kScreenHeight)->DecodeToSize(240, 160));

    const std::string path = Write(std::string("small_claim.") + Name(format),
                                   WithIspe(whole, 300, 200));
    EXPECT_FALSE(ReadPhotoHeader(path).has_value());
    EXPECT_FALSE(PhotoImage::Load(path, kScreenWidth, kScreenHeight)->has_bitmap());
    ExpectRefusedWithinBoundedMemory(path);
  }
}

TEST_F(PhoneFormatTest, HeicThumbnailServesPlacesItCovers) {
  // The main picture red, its embedded thumbnail blue: the colour tells
  // which was decoded.
  const Pixels red = Plain(640, 400, kRed);
  const Pixels blue = Plain(160, 100, kBlue);
  HeicExtras extras;
  extras.thumbnail = &blue;
  extras.thumbnail_width = 160;
  extras.thumbnail_height = 100;
  const std::string path = dir_ / "thumbnailed.heic";
  ASSERT_TRUE(WriteHeicWithLibheif(path, red, 640, 400, extras));
  const struct {
    PixelSize place;
    Rgb expected;
  } cases[] = {
      {{160, 100}, kBlue},  // the thumbnail's own size
      {{80, 50}, kBlue},    // smaller
      {{161, 100}, kRed},   // one pixel wider than the thumbnail
      {{600, 375}, kRed},
  };
  for (const auto& c : cases) {
    const DecodedPhoto photo = DecodePhotoFileAt(path, c.place);
    ASSERT_NE(photo.surface, nullptr) << c.place.width;
    EXPECT_EQ(cairo_image_surface_get_width(photo.surface.get()), c.place.width);
    EXPECT_TRUE(Near(photo.surface.get(), c.place.width / 2, c.place.height / 2, c.expected, 40))
        << "place " << c.place.width << "x" << c.place.height;
  }
}

TEST_F(PhoneFormatTest, AvifImageSequenceShowsItsFirstFrame) {
  SKIP_WITHOUT("avifenc");
  const std::string first = Png("first.png", kWidth, kHeight, Plain(kWidth, kHeight, kRed));
  const std::string second = Png("second.png", kWidth, kHeight, Plain(kWidth, kHeight, kBlue));
  const std::string out = dir_ / "sequence.avif";
  ASSERT_TRUE(RunQuietly("avifenc " + first + " " + second + " " + out));
  auto image = PhotoImage::Load(out, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(image->has_bitmap());
  EXPECT_TRUE(Near(image->surface(), kWidth / 2, kHeight / 2, kRed, 40));
}

TEST_F(PhoneFormatTest, AnimatedWebpShowsItsFirstFrame) {
  SKIP_WITHOUT("cwebp");
  const std::string red =
      Encode(Format::kWebp, Png("red.png", kWidth, kHeight, Plain(kWidth, kHeight, kRed)), "r");
  const std::string blue =
      Encode(Format::kWebp, Png("blue.png", kWidth, kHeight, Plain(kWidth, kHeight, kBlue)), "b");
  ASSERT_FALSE(red.empty());
  ASSERT_FALSE(blue.empty());
  const std::string path = Write("animated.webp", AnimatedWebp({red, blue}, kWidth, kHeight));
  auto image = PhotoImage::Open(path, kScreenWidth, kScreenHeight);
  EXPECT_EQ(image->photo_width(), kWidth);
  EXPECT_EQ(image->photo_height(), kHeight);
  ASSERT_TRUE(image->DecodeToSize(kWidth / 2, kHeight / 2));
  EXPECT_TRUE(Near(image->surface(), kWidth / 4, kHeight / 4, kRed, 40));
}

// libwebp's animation decoder parses every frame before the first is shown,
// and holds the canvas twice: what it would refuse, or spend its time on,
// is refused from the chunk headers, so a collage never places it.
TEST_F(PhoneFormatTest, AnimatedWebpBeyondItsBoundsIsRefusedByHeaderAndDecode) {
  SKIP_WITHOUT("cwebp");
  const std::string frame = Encode(
      Format::kWebp, Png("red.png", kWidth, kHeight, Plain(kWidth, kHeight, kRed)), "r", "-lossless");
  ASSERT_FALSE(frame.empty());
  const struct {
    const char* name;
    int frames;
    int canvas_width, canvas_height;
    bool loads;
  } cases[] = {
      {"two frames", 2, kWidth, kHeight, true},
      {"4000 frames, within the chunks a header read walks", 4000, kWidth, kHeight, true},
      {"4100 frames, more than a header read walks", 4100, kWidth, kHeight, false},
      {"no frame", 0, kWidth, kHeight, false},
      // 20 MP: within the pixels a WebP may have, twice 80 MB is not.
      {"canvas too large to compose on", 2, 5000, 4000, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        Write("anim" + std::to_string(++n) + ".webp",
              AnimatedWebp(std::vector<std::string>(static_cast<std::size_t>(c.frames), frame),
                           kWidth, kHeight, c.canvas_width, c.canvas_height));
    EXPECT_EQ(ReadPhotoHeader(path).has_value(), c.loads);
    const DecodedPhoto photo = DecodePhotoFileAt(path, {kWidth / 2, kHeight / 2});
    EXPECT_EQ(photo.surface != nullptr, c.loads);
    if (photo.surface) {
      EXPECT_TRUE(Near(photo.surface.get(), kWidth / 4, kHeight / 4, kRed, 40));
    }
  }
}

TEST_F(PhoneFormatTest, FormatIsToldByContentNotName) {
  SKIP_WITHOUT("heif-enc");
  SKIP_WITHOUT("cwebp");
  const std::string picture = Png("picture.png", kWidth, kHeight, Quadrants(kWidth, kHeight));
  const struct {
    Format format;
    const char* name;
  } cases[] = {{Format::kHeic, "photo.webp"}, {Format::kWebp, "photo.heic"},
               {Format::kHeic, "photo.jpg"},  {Format::kWebp, "photo.png"}};
  for (const auto& c : cases) {
    const std::string path = Write(c.name, Encode(c.format, picture, "encoded"));
    auto image = PhotoImage::Load(path, kScreenWidth, kScreenHeight);
    ASSERT_TRUE(image->has_bitmap()) << Name(c.format) << " named " << c.name;
    ExpectCorners(*image, kStored);
  }
}

// HEIF's Exif item starts with a big-endian offset from its end to the TIFF
// header; writers put 0, 6 (after "Exif\0\0") or whatever they like.
TEST(ExifOrientationOf, FindsTheTiffHeaderWhereverTheOffsetSays) {
  const std::string tiff = ExifWithOrientation(6);
  auto item = [&tiff](std::uint32_t offset, const std::string& gap) {
    std::string out;
    for (int i = 3; i >= 0; --i) out += static_cast<char>((offset >> (8 * i)) & 0xFF);
    return out + gap + tiff;
  };
  const struct {
    const char* name;
    std::string exif;
    int orientation;
  } cases[] = {
      {"a TIFF block alone", tiff, 6},
      {"offset 0", item(0, ""), 6},
      {"offset 6 past Exif", item(6, std::string("Exif\0\0", 6)), 6},
      {"offset 10", item(10, std::string("Exif\0\0abcd", 10)), 6},
      {"offset 1000 in a long item", item(1000, std::string(1000, 'x')), 6},
      {"offset past the end", item(1000, std::string(10, 'x')), 0},
      {"offset 2", item(2, "xx"), 6},
      {"offset to bytes that are no TIFF header", item(1, "xx"), 0},
      {"a wrong offset, the header right after it", item(0xFFFFFFFFu, ""), 6},
  };
  for (const auto& c : cases) {
    const std::span<const unsigned char> bytes(
        reinterpret_cast<const unsigned char*>(c.exif.data()), c.exif.size());
    EXPECT_EQ(photo_formats::ExifOrientationOf(bytes), c.orientation) << c.name;
  }
}

// ------------------------------------------------------------- colour

// Left half pure P3 red, right half a muted red: pure red lies outside
// sRGB and clips to sRGB red; the muted one lies inside and becomes more
// saturated in sRGB numbers than its P3 numbers, which shows the conversion.
constexpr Rgb kMutedRed{180, 90, 90};

Pixels RedPatches() {
  return Picture(kWidth, kHeight, [](int x, int) { return x < kWidth / 2 ? kRed : kMutedRed; });
}

struct WideGamutCase {
  const char* name;
  const char* tool;  // needed to make it, or nullptr
  // Writes the tagged file, or its untagged twin, and returns its path.
  std::function<std::string(PhoneFormatTest&, bool tagged)> make;
  Rgb muted{193, 83, 87};  // kMutedRed converted: P3 (180, 90, 90) in sRGB
};

class WideGamutTest : public PhoneFormatTest,
                      public ::testing::WithParamInterface<WideGamutCase> {
 public:
  using PhoneFormatTest::Encode;
  using PhoneFormatTest::Png;
  using PhoneFormatTest::Write;
  std::string Path(const std::string& name) { return dir_ / name; }
};

TEST_P(WideGamutTest, ConvertedToSrgb) {
  const WideGamutCase& c = GetParam();
  if (c.tool != nullptr) SKIP_WITHOUT(c.tool);
  const std::string tagged = c.make(*this, true);
  const std::string naive = c.make(*this, false);
  ASSERT_FALSE(tagged.empty());
  ASSERT_FALSE(naive.empty());
  const DecodedPhoto converted = DecodePhotoFileAt(tagged, {kWidth, kHeight});
  const DecodedPhoto untouched = DecodePhotoFileAt(naive, {kWidth, kHeight});
  ASSERT_NE(converted.surface, nullptr);
  ASSERT_NE(untouched.surface, nullptr);
  const Rgb red = PixelAt(converted.surface.get(), kWidth / 4, kHeight / 2);
  EXPECT_GE(red.r, 240) << red;
  EXPECT_LE(red.g, 24) << red;
  EXPECT_LE(red.b, 24) << red;
  const Rgb muted = PixelAt(converted.surface.get(), 3 * kWidth / 4, kHeight / 2);
  const Rgb muted_naive = PixelAt(untouched.surface.get(), 3 * kWidth / 4, kHeight / 2);
  EXPECT_GE(muted.r - muted_naive.r, 8) << muted << " against " << muted_naive;
  EXPECT_GE(muted_naive.g - muted.g, 3) << muted << " against " << muted_naive;
  EXPECT_NEAR(muted.r, c.muted.r, 8) << muted;
  EXPECT_NEAR(muted.g, c.muted.g, 8) << muted;
}

INSTANTIATE_TEST_SUITE_P(
    Tagged, WideGamutTest,
    ::testing::Values(
        WideGamutCase{"heic_nclx_p3", nullptr,
                      [](PhoneFormatTest& t, bool tagged) {
                        HeicExtras extras;
                        extras.p3_nclx = tagged;
                        const std::string path =
                            static_cast<WideGamutTest&>(t).Path(tagged ? "p3.heic" : "srgb.heic");
                        return WriteHeicWithLibheif(path, RedPatches(), kWidth, kHeight, extras)
                                   ? path
                                   : "";
                      }},
        WideGamutCase{"heic_icc_p3", nullptr,
                      [](PhoneFormatTest& t, bool tagged) {
                        HeicExtras extras;
                        if (tagged) extras.icc = DisplayP3Icc();
                        const std::string path =
                            static_cast<WideGamutTest&>(t).Path(tagged ? "icc.heic" : "none.heic");
                        return WriteHeicWithLibheif(path, RedPatches(), kWidth, kHeight, extras)
                                   ? path
                                   : "";
                      }},
        WideGamutCase{"avif_nclx_p3", "avifenc",
                      [](PhoneFormatTest& t, bool tagged) {
                        auto& w = static_cast<WideGamutTest&>(t);
                        const std::string png = w.Png("patches.png", kWidth, kHeight, RedPatches());
                        const std::string name = tagged ? "p3.avif" : "srgb.avif";
                        const std::string bytes = w.Encode(
                            Format::kAvif, png, name,
                            std::string("-s 8 --min 0 --max 0 --cicp ") + (tagged ? "12/13/1" : "1/13/1"));
                        return bytes.empty() ? std::string() : w.Path(name);
                      }},
        // BT.2020 primaries (9): converted from the chromaticities libheif
        // reads for them; (180, 90, 90) is about (217, 68, 87) in sRGB.
        WideGamutCase{"avif_nclx_bt2020", "avifenc",
                      [](PhoneFormatTest& t, bool tagged) {
                        auto& w = static_cast<WideGamutTest&>(t);
                        const std::string png = w.Png("patches.png", kWidth, kHeight, RedPatches());
                        const std::string name = tagged ? "bt2020.avif" : "bt709.avif";
                        const std::string bytes = w.Encode(
                            Format::kAvif, png, name,
                            std::string("-s 8 --min 0 --max 0 --cicp ") + (tagged ? "9/13/1" : "1/13/1"));
                        return bytes.empty() ? std::string() : w.Path(name);
                      },
                      Rgb{217, 68, 87}},
        WideGamutCase{"webp_iccp_p3", "cwebp",
                      [](PhoneFormatTest& t, bool tagged) {
                        auto& w = static_cast<WideGamutTest&>(t);
                        const std::string png = w.Png("patches.png", kWidth, kHeight, RedPatches());
                        const std::string simple = w.Encode(Format::kWebp, png, "simple", "-lossless");
                        if (simple.empty()) return std::string();
                        return w.Write(tagged ? "p3.webp" : "srgb.webp",
                                       tagged ? ExtendedWebp(simple, kWidth, kHeight, "", DisplayP3Icc())
                                              : simple);
                      }}),
    [](const ::testing::TestParamInfo<WideGamutCase>& info) { return info.param.name; });

// ------------------------------------------------------------- 10 bits

struct DeepCase {
  const char* name;
  const char* tool;
  const char* command;  // {in} and {out} replaced
};

class DeepGradientTest : public PhoneFormatTest, public ::testing::WithParamInterface<DeepCase> {};

TEST_P(DeepGradientTest, ReducedToEightBitsWithoutBands) {
  const DeepCase& c = GetParam();
  SKIP_WITHOUT(c.tool);
  constexpr int kRampWidth = 1024, kRampHeight = 128;
  const std::string png = dir_ / "ramp16.png";
  WriteRamp16Png(png, kRampWidth, kRampHeight);
  const std::string out = dir_ / (std::string("ramp.") + c.name);
  std::string command = c.command;
  command.replace(command.find("{in}"), 4, png);
  command.replace(command.find("{out}"), 5, out);
  ASSERT_TRUE(RunQuietly(command)) << command;
  const DecodedPhoto photo = DecodePhotoFileAt(out, {kRampWidth, kRampHeight});
  ASSERT_NE(photo.surface, nullptr);
  cairo_surface_t* s = photo.surface.get();
  // One row: steps of at most one level, and no flat band longer than the
  // four source levels each 8-bit level spans (with some slack for coding).
  const int y = kRampHeight / 2;
  int longest_run = 1, run = 1, largest_step = 0;
  for (int x = 1; x < kRampWidth; ++x) {
    const int step = PixelAt(s, x, y).g - PixelAt(s, x - 1, y).g;
    largest_step = std::max(largest_step, std::abs(step));
    run = step == 0 ? run + 1 : 1;
    longest_run = std::max(longest_run, run);
  }
  EXPECT_LE(largest_step, 1);
  EXPECT_LE(longest_run, 8);
  // Averaged over a few rows, every column keeps the source's level within
  // about half an 8-bit level: dropping the low bits would be off by up to
  // a whole one.
  double worst = 0;
  for (int x = 0; x < kRampWidth; ++x) {
    double sum = 0;
    for (int row = 0; row < 16; ++row) sum += PixelAt(s, x, row).g;
    worst = std::max(worst, std::abs(sum / 16 - x * 255.0 / (kRampWidth - 1)));
  }
  EXPECT_LT(worst, 0.7);
}

INSTANTIATE_TEST_SUITE_P(
    TenBit, DeepGradientTest,
    ::testing::Values(
        DeepCase{"avif", "avifenc", "avifenc -d 10 -l {in} {out}"},
        DeepCase{"heic", "heif-enc",
                 "heif-enc -b 10 -L -p chroma=444 --matrix_coefficients=0 -o {out} {in}"}),
    [](const ::testing::TestParamInfo<DeepCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quol::saver
