#include "foundation/wizard/wizard_rules.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/testing/test_support.h"

namespace quol::wizard {
namespace {

using testing::TempDir;
using testing::WriteFileOrDie;

TEST(IntervalChoiceTest, FirstChoiceLongEnoughElseTheFirst) {
  const struct {
    int current;
    const char* label;
  } cases[] = {
      {25, "30 seconds"}, {7200, "5 seconds"}, {5, "5 seconds"}, {0, "5 seconds"},
      {-3, "5 seconds"},  {61, "2 minutes"},   {3600, "1 hour"}, {3601, "5 seconds"},
  };
  for (const auto& c : cases) {
    const int index = SelectIntervalIndex(c.current);
    ASSERT_GE(index, 0);
    EXPECT_STREQ(IntervalChoices()[static_cast<std::size_t>(index)].label, c.label) << c.current;
  }
  EXPECT_EQ(IntervalChoices().size(), 13u);
}

TEST(LocalSignInVerdictTest, RefusesWhatCannotBeAnAccount) {
  const int kAsk = -1;
  const struct {
    const char* address;
    const char* password;
    int verdict;
  } cases[] = {
      {"", "", kSignInNotChecked},
      {"a@b.c", "abcd", kSignInRejected},        // shorter than 7 characters
      {"ab@cd.ef", "abcd", kAsk},                // 8 characters, 4-character password
      {"ab@c.de", "abcd", kAsk},                 // exactly 7
      {"ab@cd.ef", "abc", kSignInRejected},      // password too short
      {"ab@cd.ef", "", kSignInRejected},
      {"", "abcd", kSignInRejected},
      {"abcdefgh", "abcd", kSignInRejected},     // no "@"
      {"@bcd.efg", "abcd", kSignInRejected},     // "@" only as the first character
      {"ab c@de.fg", "abcd", kSignInRejected},   // a blank
      {"ab@cdefgh", "abcd", kSignInRejected},    // no dot after the "@"
      {"ab.c@defg", "abcd", kSignInRejected},    // last dot before the "@"
      {"a@b@cd.ef", "abcd", kSignInRejected},    // two "@"
      {"\xC3\xA9\xC3\xA9@\xC3\xA9.\xC3\xA9\xC3\xA9", "abcd", kAsk},  // 7 characters, 12 bytes
      {"\xC3\xA9@\xC3\xA9.\xC3\xA9", "abcd", kSignInRejected},        // 5 characters, 8 bytes
  };
  for (const auto& c : cases) {
    const std::optional<int> verdict = LocalSignInVerdict(c.address, c.password);
    EXPECT_EQ(verdict.value_or(kAsk), c.verdict) << c.address << " / " << c.password;
  }
}

TEST(PhotoFileNameTest, PhoneFormatsInAnyCaseNeverHidden) {
  const struct {
    const char* name;
    bool photo;
  } cases[] = {
      {"IMG_0001.HEIC", true}, {"b.heif", true},   {"c.Avif", true},      {"d.webp", true},
      {"x.y.WebP", true},      {".e.heic", false}, {".webp", false},      {"f.heics", false},
      {"g.heic.txt", false},   {"heic", false},    {"h.avifs", false},    {"i.hei", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPhotoFileName(c.name), c.photo) << c.name;
}

TEST(PhotoFileNameTest, JpegAndPngInAnyCaseNeverHidden) {
  for (const char* name : {"a.jpg", "B.JPEG", "c.Png", "x.y.jpeg"}) {
    EXPECT_TRUE(IsPhotoFileName(name)) << name;
  }
  for (const char* name : {".a.jpg", "a.gif", "jpg", "a.jpg.txt", "", "a.jpe", "a."}) {
    EXPECT_FALSE(IsPhotoFileName(name)) << name;
  }
}

class PhotoCountTest : public ::testing::Test {
 protected:
  void Photos(const std::string& folder, int count, const std::string& extension = ".jpg") {
    ::mkdir(folder.c_str(), 0700);
    for (int i = 0; i < count; ++i) {
      WriteFileOrDie(folder + "/p" + std::to_string(i) + extension, "x");
    }
  }
  TempDir dir_;
};

TEST_F(PhotoCountTest, CountsSubFoldersSkipsHiddenAndStopsAtFifty) {
  Photos(dir_ / "a", 30);
  Photos(dir_ / "a/sub", 15, ".PNG");
  Photos(dir_ / "a/.thumbnails", 40);
  WriteFileOrDie(dir_ / "a/.hidden.jpg", "x");
  WriteFileOrDie(dir_ / "a/notes.txt", "x");
  EXPECT_EQ(CountPhotos({dir_ / "a"}), 45);
  Photos(dir_ / "b", 60);
  EXPECT_EQ(CountPhotos({dir_ / "a", dir_ / "b"}), 50);
  EXPECT_EQ(CountPhotos({dir_ / "missing", ""}), 0);
}

TEST_F(PhotoCountTest, BoundsKeepLoopsAndHugeTreesShort) {
  Photos(dir_ / "top", 1);
  // A link back up would be an endless tree if it were followed.
  ASSERT_EQ(::symlink((dir_ / "top").c_str(), (dir_ / "top/loop").c_str()), 0);
  EXPECT_EQ(CountPhotos({dir_ / "top"}), 1);

  std::string deep = dir_ / "deep";
  ::mkdir(deep.c_str(), 0700);
  for (int level = 0; level < 5; ++level) {
    deep += "/d";
    ::mkdir(deep.c_str(), 0700);
  }
  WriteFileOrDie(deep + "/bottom.jpg", "x");
  PhotoCountLimits shallow;
  shallow.max_depth = 3;
  EXPECT_EQ(CountPhotos({dir_ / "deep"}, shallow), 0);
  EXPECT_EQ(CountPhotos({dir_ / "deep"}), 1);

  Photos(dir_ / "many", 40);
  PhotoCountLimits few_entries;
  few_entries.max_entries = 10;
  EXPECT_LE(CountPhotos({dir_ / "many"}, few_entries), 10);
}

TEST(RunBoundedTest, GivesUpOnAStuckTaskButKeepsAFastOne) {
  EXPECT_EQ(RunBounded([] { return 7; }, std::chrono::seconds(10)), 7);
  auto release = std::make_shared<std::atomic<bool>>(false);
  const std::optional<int> stuck = RunBounded(
      [release] {
        while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return 1;
      },
      std::chrono::milliseconds(50));
  EXPECT_FALSE(stuck.has_value());
  *release = true;  // the worker ends on its own, holding only its copy
}

TEST(LocalizedFolderNameTest, PlainDesktopIniNameElseTheFolderElseTheFallback) {
  TempDir dir;
  const struct {
    const char* folder;
    const char* ini;  // null: no desktop.ini
    const char* name;
  } cases[] = {
      {"Fotos", "[.ShellClassInfo]\r\nLocalizedResourceName=Familienfotos\r\n", "Familienfotos"},
      {"Bilder", "[Other]\nLocalizedResourceName=Wrong\n[.shellclassinfo]\n"
                 "  localizedresourcename = Photos of us \n", "Photos of us"},
      {"Pictures", "[.ShellClassInfo]\nLocalizedResourceName=@%SystemRoot%\\system32\\shell32.dll,-21779\n",
       "Pictures"},
      {"Plain", nullptr, "Plain"},
      {"Empty", "[.ShellClassInfo]\nLocalizedResourceName=\n", "Empty"},
      {"Elsewhere", "LocalizedResourceName=NotInTheSection\n", "Elsewhere"},
  };
  for (const auto& c : cases) {
    const std::string folder = dir / c.folder;
    ::mkdir(folder.c_str(), 0700);
    if (c.ini != nullptr) WriteFileOrDie(folder + "/desktop.ini", c.ini);
    EXPECT_EQ(LocalizedFolderName(folder + "/", "Fallback"), c.name) << c.folder;
  }
  EXPECT_EQ(LocalizedFolderName("", "Shared Pictures"), "Shared Pictures");

  // Written by another system's file manager: UTF-16 with its mark.
  const std::string wide_folder = dir / "Wide";
  ::mkdir(wide_folder.c_str(), 0700);
  std::string wide = "\xFF\xFE";
  for (char c : std::string("[.ShellClassInfo]\r\nLocalizedResourceName=Album\r\n")) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  WriteFileOrDie(wide_folder + "/desktop.ini", wide);
  EXPECT_EQ(LocalizedFolderName(wide_folder, "Fallback"), "Album");
}

TEST(FolderListedTest, ComparesWithoutCase) {
  const std::vector<std::string> list = {"/home/ann/Photos/Summer", "/media/\xC3\x89t\xC3\xA9/"};
  EXPECT_TRUE(FolderListed(list, "/HOME/ann/photos/summer"));
  EXPECT_TRUE(FolderListed(list, "/home/ann/Photos/Summer/"));
  EXPECT_TRUE(FolderListed(list, "/media/\xC3\xA9t\xC3\xA9"));
  EXPECT_FALSE(FolderListed(list, "/home/ann/Photos/Winter"));
  EXPECT_FALSE(FolderListed({}, "/home"));
}

TEST(NetworkFolderTest, RemoteFileSystemsAreNetworkFolders) {
  const struct {
    std::int64_t type;
    const char* fuse;
    bool network;
  } cases[] = {
      {0x6969, "", true},                  // NFS
      {0xFF534D42, "", true},              // CIFS
      {0xFE534D42, "", true},              // SMB2
      {0x517B, "", true},                  // SMB
      {0x65735546, "fuse.sshfs", true},
      {0x65735546, "fuse.rclone", true},
      {0x65735546, "fuseblk", false},      // a local disk through FUSE
      {0x65735546, "fuse.ntfs-3g", false},
      {0xEF53, "", false},                 // ext4
      {0x01021994, "", false},             // tmpfs
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNetworkFileSystem(c.type, c.fuse), c.network) << std::hex << c.type << c.fuse;
  }
  TempDir dir;
  EXPECT_FALSE(IsNetworkFolder(dir.path(), std::chrono::seconds(10)));
  EXPECT_FALSE(AnyNetworkFolder({dir.path(), dir / "missing"}, std::chrono::seconds(10)));
  EXPECT_FALSE(AnyNetworkFolder({}, std::chrono::seconds(10)));
}

}  // namespace
}  // namespace quol::wizard
