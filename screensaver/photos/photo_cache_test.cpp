// The photo cache: the sizes of the copies, and HEIC photos decoded through
// it (made at run time with heif-enc; skipped when it is missing). A hit is
// told from a miss by planting a copy of one solid colour: it shows only
// when the copy is what was decoded.
#include "screensaver/photos/photo_cache.h"

#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/photos/photo_decode.h"

namespace quol::saver {
namespace {

using photo_cache::CopyCovers;
using photo_cache::CopySize;
using photo_cache::IsCopyOf;
using quol::testing::LogCapture;
using quol::testing::ScopedEnv;
using quol::testing::TempDir;

// ------------------------------------------------------------- sizes

struct CopySizeCase {
  const char* name;
  PixelSize photo, wanted, copy;
};

TEST(PhotoCopySize, FitsTheLongerSideOrCoversALargerPlace) {
  const CopySizeCase cases[] = {
      {"phone photo, small place", {4032, 3024}, {1000, 700}, {2560, 1920}},
      {"portrait phone photo", {3024, 4032}, {700, 1000}, {1920, 2560}},
      {"place wider than the copy", {4032, 3024}, {3840, 2160}, {3840, 2880}},
      // 3866 * 3/4 = 2899.5, rounded up to the 2900 asked for.
      {"place taller than the copy", {4032, 3024}, {2000, 2900}, {3866, 2900}},
      {"place larger than the photo", {4032, 3024}, {5000, 4000}, {4032, 3024}},
      {"small photo kept whole", {1200, 900}, {300, 200}, {1200, 900}},
      {"odd shape rounded", {2720, 400}, {1000, 150}, {2560, 376}},
      {"odd shape, larger place", {2720, 400}, {2700, 390}, {2700, 397}},
  };
  for (const CopySizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PixelSize got = CopySize(c.photo, c.wanted);
    EXPECT_EQ(got.width, c.copy.width);
    EXPECT_EQ(got.height, c.copy.height);
    EXPECT_TRUE(IsCopyOf(got, c.photo));
    EXPECT_TRUE(CopyCovers(got, c.photo, c.wanted));
  }
}

struct CopyCheckCase {
  const char* name;
  PixelSize copy, photo, wanted;
  bool is_copy, covers;
};

TEST(PhotoCopySize, TellsCopiesAndWhatTheyCover) {
  const CopyCheckCase cases[] = {
      {"the usual copy", {2560, 1920}, {4032, 3024}, {2000, 1000}, true, true},
      {"below the longer side", {2559, 1919}, {4032, 3024}, {500, 300}, false, true},
      {"wrong shape", {2560, 1921}, {4032, 3024}, {500, 300}, false, true},
      {"turned", {1920, 2560}, {4032, 3024}, {500, 300}, false, true},
      {"larger than the photo", {4033, 3025}, {4032, 3024}, {500, 300}, false, true},
      {"full size covers any place", {1200, 900}, {1200, 900}, {2400, 1800}, true, true},
      {"too small for the place", {2560, 1920}, {4032, 3024}, {2600, 1000}, true, false},
      {"enlarged copy", {3840, 2880}, {4032, 3024}, {3840, 2160}, true, true},
  };
  for (const CopyCheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsCopyOf(c.copy, c.photo), c.is_copy);
    EXPECT_EQ(CopyCovers(c.copy, c.photo, c.wanted), c.covers);
  }
}

// ------------------------------------------------------------- the folder

struct FolderCase {
  const char* name;
  std::optional<std::string> setting, cache_home, home;
  std::optional<std::string> folder;  // as an ordinary account
  bool also_as_root;                  // root gets the same (only an explicit setting)
};

TEST(PhotoCacheFolder, FromTheSettingOrTheCacheHome) {
  const FolderCase cases[] = {
      {"explicit", "/x/copies", "/c", "/h", "/x/copies", true},
      {"empty turns it off", "", "/c", "/h", std::nullopt, true},
      {"cache home", std::nullopt, "/c", "/h", "/c/Quol/photos", false},
      {"home", std::nullopt, std::nullopt, "/h", "/h/.cache/Quol/photos", false},
      {"relative cache home ignored", std::nullopt, "c", "/h", "/h/.cache/Quol/photos", false},
      {"no home", std::nullopt, std::nullopt, std::nullopt, std::nullopt, true},
  };
  const bool root = ::geteuid() == 0;
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv setting("QUOL_PHOTO_CACHE_DIR", c.setting);
    ScopedEnv cache_home("XDG_CACHE_HOME", c.cache_home);
    ScopedEnv home("HOME", c.home);
    const std::optional<std::string> expected =
        root && !c.also_as_root ? std::nullopt : c.folder;
    EXPECT_EQ(PhotoCacheFolder(), expected);
  }
}

// ------------------------------------------------------------- decoding

struct Rgb {
  int r = 0, g = 0, b = 0;
};
constexpr Rgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255};
constexpr Rgb kMagenta{255, 0, 255};

bool HaveHeifEnc() { return ::access("/usr/bin/heif-enc", X_OK) == 0; }

// A PNG of four quadrants (red, green / blue, white), or of one colour.
void WritePng(const std::string& path, int width, int height, std::optional<Rgb> solid) {
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
  ContextPtr cr(cairo_create(surface.get()));
  auto fill = [&](double x, double y, double w, double h, Rgb c) {
    cairo_set_source_rgb(cr.get(), c.r / 255.0, c.g / 255.0, c.b / 255.0);
    cairo_rectangle(cr.get(), x, y, w, h);
    cairo_fill(cr.get());
  };
  if (solid) {
    fill(0, 0, width, height, *solid);
  } else {
    fill(0, 0, width / 2.0, height / 2.0, kRed);
    fill(width / 2.0, 0, width / 2.0, height / 2.0, kGreen);
    fill(0, height / 2.0, width / 2.0, height / 2.0, kBlue);
    fill(width / 2.0, height / 2.0, width / 2.0, height / 2.0, kWhite);
  }
  cr.reset();
  ASSERT_EQ(cairo_surface_write_to_png(surface.get(), path.c_str()), CAIRO_STATUS_SUCCESS);
}

// A solid-colour baseline JPEG of w x h, as the cache writes its copies.
std::string SolidJpeg(int width, int height, Rgb colour) {
  std::string pixels;
  for (int i = 0; i < width * height; ++i) {
    pixels += static_cast<char>(colour.r);
    pixels += static_cast<char>(colour.g);
    pixels += static_cast<char>(colour.b);
  }
  tjhandle tj = tjInitCompress();
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, reinterpret_cast<const unsigned char*>(pixels.data()), width, 0, height, TJPF_RGB,
              &buffer, &size, TJSAMP_420, 90, 0);
  std::string jpeg(reinterpret_cast<char*>(buffer), size);
  tjFree(buffer);
  tjDestroy(tj);
  return jpeg;
}

std::optional<PixelSize> JpegFileSize(const std::string& path) {
  const std::string jpeg = quol::testing::ReadFileOrEmpty(path);
  tjhandle tj = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  const bool ok = !jpeg.empty() &&
                  tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(jpeg.data()),
                                      jpeg.size(), &width, &height, &subsampling,
                                      &colorspace) == 0;
  tjDestroy(tj);
  if (!ok) return std::nullopt;
  return PixelSize{width, height};
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

::testing::AssertionResult Shows(const DecodedPhoto& photo, PixelSize size,
                                 std::optional<Rgb> solid) {
  if (!photo.surface) return ::testing::AssertionFailure() << "no bitmap";
  cairo_surface_t* s = photo.surface.get();
  const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  if (w != size.width || h != size.height) {
    return ::testing::AssertionFailure() << "size " << w << "x" << h;
  }
  const int in = 4;
  const struct {
    int x, y;
    Rgb expected;
  } corners[] = {{in, in, solid.value_or(kRed)},
                 {w - 1 - in, in, solid.value_or(kGreen)},
                 {in, h - 1 - in, solid.value_or(kBlue)},
                 {w - 1 - in, h - 1 - in, solid.value_or(kWhite)}};
  for (const auto& corner : corners) {
    const Rgb got = PixelAt(s, corner.x, corner.y);
    if (std::abs(got.r - corner.expected.r) > 40 || std::abs(got.g - corner.expected.g) > 40 ||
        std::abs(got.b - corner.expected.b) > 40) {
      return ::testing::AssertionFailure()
             << "pixel (" << corner.x << "," << corner.y << ") is rgb(" << got.r << "," << got.g
             << "," << got.b << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

int CountFiles(const std::string& folder) {
  std::error_code ec;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    static_cast<void>(entry);
    ++count;
  }
  return count;
}

void SetAge(const std::string& path, int seconds_ago) {
  struct timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds_ago;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

constexpr PixelSize kPhoto{320, 200};  // smaller than a copy's side: copied whole
constexpr PixelSize kPlace{200, 125};

class PhotoCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveHeifEnc()) GTEST_SKIP() << "heif-enc is not installed";
  }
  void TearDown() override { SetPhotoCacheLimit(kDefaultPhotoCacheBytes); }

  // A HEIC of the quadrants (or of one colour) at `name`; "" when heif-enc failed.
  std::string Heic(const std::string& name, PixelSize size = kPhoto,
                   std::optional<Rgb> solid = std::nullopt) {
    const std::string png = dir_ / (name + ".png");
    WritePng(png, size.width, size.height, solid);
    const std::string heic = dir_ / name;
    const std::string command =
        "heif-enc -q 92 -o " + heic + " " + png + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? heic : std::string();
  }

  std::string Copy(const std::string& photo) { return PhotoCopyPath(photo).value_or(""); }

  TempDir dir_;
  std::string cache_ = dir_ / "cache";
  ScopedEnv cache_setting_{"QUOL_PHOTO_CACHE_DIR", cache_};
  LogCapture log_;
};

TEST_F(PhotoCacheTest, FirstDecodeWritesOneCopyAndLaterDecodesUseIt) {
  const std::string photo = Heic("a.heic");
  ASSERT_FALSE(photo.empty());
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, std::nullopt));

  const std::string copy = Copy(photo);
  ASSERT_EQ(copy.rfind(cache_ + "/", 0), 0u) << copy;
  EXPECT_EQ(JpegFileSize(copy), std::optional<PixelSize>(kPhoto));
  EXPECT_EQ(CountFiles(cache_), 2);  // the copy and the cache tag
  struct stat info {};
  ASSERT_EQ(::stat(cache_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // The same photo at other sizes, and loaded before it has a place.
  quol::testing::WriteFileOrDie(copy, SolidJpeg(kPhoto.width, kPhoto.height, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPhoto), kPhoto, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, {300, 120}), {300, 120}, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFile(photo, 1920, 1080), kPhoto, kMagenta));
  EXPECT_EQ(CountFiles(cache_), 2);  // with the tag
}

// Each case spoils the copy after the first decode; the next decode must
// show the photo itself and leave a good copy in its place.
struct SpoiltCase {
  const char* name;
  std::function<void(const std::string& copy, const std::string& elsewhere)> spoil;
};

TEST_F(PhotoCacheTest, SpoiltCopiesAreIgnoredAndReplaced) {
  const SpoiltCase cases[] = {
      {"truncated",
       [](const std::string& copy, const std::string&) {
         std::filesystem::resize_file(copy, std::filesystem::file_size(copy) / 2);
       }},
      {"garbage",
       [](const std::string& copy, const std::string&) {
         quol::testing::WriteFileOrDie(copy, std::string(5000, 'x'));
       }},
      {"empty",
       [](const std::string& copy, const std::string&) {
         quol::testing::WriteFileOrDie(copy, "");
       }},
      {"wrong size",
       [](const std::string& copy, const std::string&) {
         quol::testing::WriteFileOrDie(copy, SolidJpeg(300, 300, kMagenta));
       }},
      {"a PNG of the right size",
       [](const std::string& copy, const std::string&) {
         WritePng(copy, kPhoto.width, kPhoto.height, kMagenta);
       }},
      {"over the size limit",
       [](const std::string& copy, const std::string&) {
         std::string jpeg = SolidJpeg(kPhoto.width, kPhoto.height, kMagenta);
         quol::testing::WriteFileOrDie(copy, jpeg);
         std::filesystem::resize_file(copy, kMaxPhotoCopyBytes + 1);
       }},
      {"a symbolic link",
       [](const std::string& copy, const std::string& elsewhere) {
         quol::testing::WriteFileOrDie(elsewhere,
                                       SolidJpeg(kPhoto.width, kPhoto.height, kMagenta));
         std::filesystem::remove(copy);
         std::filesystem::create_symlink(elsewhere, copy);
       }},
  };
  int n = 0;
  for (const SpoiltCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string photo = Heic("spoilt" + std::to_string(++n) + ".heic");
    ASSERT_FALSE(photo.empty());
    ASSERT_TRUE(DecodePhotoFileAt(photo, kPlace).surface);
    const std::string copy = Copy(photo);
    const std::string elsewhere = dir_ / ("elsewhere" + std::to_string(n) + ".jpg");
    c.spoil(copy, elsewhere);

    EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, std::nullopt));
    EXPECT_FALSE(std::filesystem::is_symlink(copy));
    EXPECT_EQ(JpegFileSize(copy), std::optional<PixelSize>(kPhoto));
    EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, std::nullopt));
    if (std::filesystem::exists(elsewhere)) {
      EXPECT_EQ(JpegFileSize(elsewhere), std::optional<PixelSize>(kPhoto)) << "link target kept";
    }
  }
}

TEST_F(PhotoCacheTest, AChangedPhotoMissesItsOldCopy) {
  const struct {
    const char* name;
    std::function<void(const std::string& photo)> change;
    std::optional<Rgb> shows;
  } cases[] = {
      {"touched",
       [](const std::string& photo) { SetAge(photo, -5); },  // a new modification time
       std::nullopt},
      {"replaced by another picture",
       [this](const std::string& photo) {
         const std::string other = Heic("other.heic", kPhoto, kGreen);
         ASSERT_FALSE(other.empty());
         std::filesystem::rename(other, photo);
       },
       kGreen},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string photo = Heic("changed" + std::to_string(++n) + ".heic");
    ASSERT_FALSE(photo.empty());
    ASSERT_TRUE(DecodePhotoFileAt(photo, kPlace).surface);
    const std::string old_copy = Copy(photo);
    quol::testing::WriteFileOrDie(old_copy, SolidJpeg(kPhoto.width, kPhoto.height, kMagenta));
    c.change(photo);

    const std::string new_copy = Copy(photo);
    EXPECT_NE(new_copy, old_copy);
    EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, c.shows));
    EXPECT_EQ(JpegFileSize(new_copy), std::optional<PixelSize>(kPhoto));
  }
}

TEST_F(PhotoCacheTest, APlaceLargerThanTheCopyDecodesThePhotoAndEnlargesTheCopy) {
  // Wider than a copy's longer side, so the first copy is reduced.
  const PixelSize wide{2720, 400};
  const std::string photo = Heic("wide.heic", wide);
  ASSERT_FALSE(photo.empty());
  ASSERT_TRUE(Shows(DecodePhotoFileAt(photo, {1000, 150}), {1000, 150}, std::nullopt));
  const std::string copy = Copy(photo);
  EXPECT_EQ(JpegFileSize(copy), std::optional<PixelSize>({2560, 376}));

  quol::testing::WriteFileOrDie(copy, SolidJpeg(2560, 376, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, {2000, 300}), {2000, 300}, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, {2700, 390}), {2700, 390}, std::nullopt));
  EXPECT_EQ(JpegFileSize(copy), std::optional<PixelSize>({2700, 397}));
  EXPECT_EQ(CountFiles(cache_), 2);  // with the tag
  // The enlarged copy serves the smaller places again.
  quol::testing::WriteFileOrDie(copy, SolidJpeg(2700, 397, kMagenta));
  EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, {1000, 150}), {1000, 150}, kMagenta));
}

TEST_F(PhotoCacheTest, TheBoundPrunesTheLeastRecentlyUsedCopies) {
  const std::string a = Heic("a.heic"), b = Heic("b.heic"), c = Heic("c.heic");
  ASSERT_FALSE(a.empty() || b.empty() || c.empty());
  ASSERT_TRUE(DecodePhotoFileAt(a, kPlace).surface);
  ASSERT_TRUE(DecodePhotoFileAt(b, kPlace).surface);
  const auto size = std::filesystem::file_size(Copy(a));
  ASSERT_EQ(std::filesystem::file_size(Copy(b)), size);  // the same picture
  // b is older than a, but a was written earlier and shown again since.
  SetAge(Copy(a), 200);
  SetAge(Copy(b), 100);
  ASSERT_TRUE(DecodePhotoFileAt(a, kPlace).surface);

  SetPhotoCacheLimit(2 * size + size / 2);
  ASSERT_TRUE(DecodePhotoFileAt(c, kPlace).surface);
  EXPECT_TRUE(std::filesystem::exists(Copy(a)));
  EXPECT_FALSE(std::filesystem::exists(Copy(b)));
  EXPECT_TRUE(std::filesystem::exists(Copy(c)));
  EXPECT_EQ(CountFiles(cache_), 3);  // two copies and the tag
  // Files that are not copies are never pruned.
  quol::testing::WriteFileOrDie(cache_ + "/notes.txt", std::string(4 * size, 'n'));
  ASSERT_TRUE(DecodePhotoFileAt(b, kPlace).surface);
  EXPECT_TRUE(std::filesystem::exists(cache_ + "/notes.txt"));
  EXPECT_TRUE(std::filesystem::exists(Copy(b)));
}

TEST_F(PhotoCacheTest, WithoutAUsableFolderPhotosStillShowAndNothingIsWritten) {
  const std::string blocker = dir_ / "blocker";
  quol::testing::WriteFileOrDie(blocker, "a file, not a folder");
  const std::string shared = dir_ / "shared";
  std::filesystem::create_directories(shared);
  ::chmod(shared.c_str(), 0777);
  const struct {
    const char* name;
    std::optional<std::string> setting;
    std::string watched;  // stays without a copy
  } cases[] = {
      {"turned off", "", cache_},
      {"cannot be created", blocker + "/photos", blocker},
      {"writable by others", shared, shared},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv setting("QUOL_PHOTO_CACHE_DIR", c.setting);
    const std::string photo = Heic("off" + std::to_string(++n) + ".heic");
    ASSERT_FALSE(photo.empty());
    EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, std::nullopt));
    EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, std::nullopt));
    EXPECT_FALSE(std::filesystem::is_directory(cache_));
    if (std::filesystem::is_directory(c.watched)) {
      EXPECT_EQ(CountFiles(c.watched), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(blocker + "/photos"));
  }
  EXPECT_EQ(quol::testing::ReadFileOrEmpty(blocker), "a file, not a folder");
}

// Pruning deletes hash-named JPEGs, so only a folder of the cache's own is
// used: one it made, one it found empty, or one that carries its tag.
TEST_F(PhotoCacheTest, OnlyATaggedOrEmptyFolderIsUsed) {
  constexpr char kSignature[] = "Signature: 8a477f597d28d172789f06886806bc55\n";
  const std::string hashed = "0123456789abcdef0123456789abcdef.jpg";
  const std::string stale = ".new-abc123";
  const struct {
    const char* name;
    bool exists;
    bool tagged;
    bool foreign_files;  // a hash-named JPEG and an old temporary name
    bool used;
  } cases[] = {
      {"created by the cache", false, false, false, true},
      {"found empty", true, false, false, true},
      {"pictures folder without a tag", true, false, true, false},
      {"tagged, with other files", true, true, true, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir_ / ("folder" + std::to_string(++n));
    ScopedEnv setting("QUOL_PHOTO_CACHE_DIR", folder);
    if (c.exists) {
      std::filesystem::create_directories(folder);
      ::chmod(folder.c_str(), 0700);
    }
    if (c.tagged) quol::testing::WriteFileOrDie(folder + "/CACHEDIR.TAG", kSignature);
    if (c.foreign_files) {
      quol::testing::WriteFileOrDie(folder + "/" + hashed, SolidJpeg(40, 40, kMagenta));
      quol::testing::WriteFileOrDie(folder + "/" + stale, "someone else's");
      SetAge(folder + "/" + stale, 7200);
    }
    // Where the folder must be left alone, any copy is over the bound, so
    // a prune there would delete every hash-named JPEG it sees.
    SetPhotoCacheLimit(c.used ? kDefaultPhotoCacheBytes : 1);
    const int before = CountFiles(folder);
    const std::string photo = Heic("p" + std::to_string(n) + ".heic");
    ASSERT_FALSE(photo.empty());
    EXPECT_TRUE(Shows(DecodePhotoFileAt(photo, kPlace), kPlace, std::nullopt));
    const std::string tag = quol::testing::ReadFileOrEmpty(folder + "/CACHEDIR.TAG");
    if (c.used) {
      EXPECT_EQ(tag.rfind(kSignature, 0), 0u) << tag;
      if (!c.tagged) {
        EXPECT_NE(tag.find("\n# This file is a cache directory tag created by Quol.\n"),
                  std::string::npos)
            << tag;
      }
      EXPECT_TRUE(std::filesystem::exists(Copy(photo)));
      EXPECT_FALSE(std::filesystem::exists(folder + "/" + stale));  // pruned as the cache's
    } else {
      EXPECT_EQ(CountFiles(folder), before);
      EXPECT_TRUE(tag.empty());
      EXPECT_FALSE(std::filesystem::exists(Copy(photo)));
      EXPECT_TRUE(std::filesystem::exists(folder + "/" + stale));
      EXPECT_EQ(JpegFileSize(folder + "/" + hashed), std::optional<PixelSize>(PixelSize{40, 40}));
    }
  }
}

}  // namespace
}  // namespace quol::saver
