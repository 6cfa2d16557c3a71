#include "screensaver/photos/feed_set.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/testing/log_capture.h"
#include "platform/testing/test_support.h"
#include "screensaver/common/random.h"

namespace quol::saver {
namespace {

using quol::testing::IsolatedEnvironment;
using quol::testing::LogCapture;
using quol::testing::ScopedEnv;
using quol::testing::TempDir;
using quol::testing::WriteFileOrDie;

// The feeds only list files; the bytes never matter here.
void Touch(const std::string& path) { WriteFileOrDie(path, "x"); }

void TouchPhotos(const std::string& folder, int count) {
  for (int i = 0; i < count; ++i) Touch(folder + "/p" + std::to_string(i) + ".jpg");
}

std::vector<std::string> FeedFolders(const FeedSet& set) {
  std::vector<std::string> folders;
  for (std::size_t i = 0; i < set.size(); ++i) {
    const std::vector<std::string>& photos = set.feed(i)->photos();
    folders.push_back(photos.empty() ? "" : std::filesystem::path(photos[0]).parent_path());
  }
  return folders;
}

class FeedSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugRandom(true);
    SeedThreadRandomWith(2024);
  }
  void TearDown() override { SetDebugRandom(false); }

  TempDir dir_;
};

TEST_F(FeedSetTest, TreeGivesOneFeedPerFolderHoldingPhotosDepthFirst) {
  std::string root = dir_ / "Trips";
  Touch(root + "/own.jpg");
  TouchPhotos(root + "/A", 2);
  Touch(root + "/B/notes.txt");
  TouchPhotos(root + "/B/C", 5);
  TouchPhotos(root + "/D", 1);

  FeedSet set;
  set.AddFolderTree(root, "");

  EXPECT_EQ(FeedFolders(set),
            (std::vector<std::string>{root, root + "/A", root + "/B/C", root + "/D"}));
  EXPECT_EQ(set.names(), (std::vector<std::string>{"Trips", "A", "C", "D"}));
  ASSERT_EQ(set.size(), 4u);
  EXPECT_EQ(set.feed(0)->photo_count(), 1u);
  EXPECT_EQ(set.feed(1)->photo_count(), 2u);
  EXPECT_EQ(set.feed(2)->photo_count(), 5u);
  EXPECT_EQ(set.total_photos(), 9u);
  EXPECT_FALSE(set.feed(0)->IsSinglePhoto());
  // A feed holds its own folder's photos only, not its sub-folders'.
  EXPECT_EQ(set.feed(0)->photos(), (std::vector<std::string>{root + "/own.jpg"}));
}

TEST_F(FeedSetTest, DotFoldersAreNeverSearched) {
  std::string root = dir_ / "Album";
  TouchPhotos(root + "/.thumbs", 3);
  TouchPhotos(root + "/.cache/deep", 3);
  TouchPhotos(root + "/Real", 1);
  Touch(root + "/Docs/readme.txt");

  FeedSet set;
  set.AddFolderTree(root, "");
  EXPECT_EQ(FeedFolders(set), (std::vector<std::string>{root + "/Real"}));

  FeedSet nothing;
  nothing.AddFolderTree(root + "/Docs", "");
  EXPECT_TRUE(nothing.empty());
  EXPECT_EQ(nothing.PickFeed(), nullptr);
}

TEST_F(FeedSetTest, OnlyVisibleJpegAndPngFilesAreUsedInNameOrder) {
  std::string root = dir_ / "Mixed";
  for (const char* name : {"c.png", "a.JPG", "d.gif", "b.Jpeg", "e.bmp", ".f.jpg", "g"}) {
    Touch(root + "/" + name);
  }
  // A folder named like a photo is not one.
  std::filesystem::create_directories(root + "/h.jpg");

  FeedSet set;
  set.AddFolderTree(root, "");
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set.feed(0)->photos(),
            (std::vector<std::string>{root + "/a.JPG", root + "/b.Jpeg", root + "/c.png"}));
}

TEST_F(FeedSetTest, UnderscoreFolderIsSinglePhotoFeedNamedWithoutIt) {
  TouchPhotos(dir_ / "Holiday_", 3);
  FeedSet set;
  set.AddFolderTree(dir_ / "Holiday_/", "");
  ASSERT_EQ(set.size(), 1u);
  EXPECT_TRUE(set.feed(0)->IsSinglePhoto());
  EXPECT_EQ(set.feed(0)->FeedName(), "Holiday");
  EXPECT_EQ(set.names(), (std::vector<std::string>{"Holiday"}));
}

TEST_F(FeedSetTest, GivenDisplayNameIsUsedForEveryFolderOfTheTree) {
  TouchPhotos(dir_ / "Root", 1);
  TouchPhotos(dir_ / "Root/Sub_", 1);
  FeedSet set;
  set.AddFolderTree(dir_ / "Root", "Family");
  EXPECT_EQ(set.names(), (std::vector<std::string>{"Family", "Family"}));
  ASSERT_EQ(set.size(), 2u);
  EXPECT_TRUE(set.feed(1)->IsSinglePhoto());
}

TEST_F(FeedSetTest, InvalidFoldersAreLogged) {
  LogCapture log;
  Touch(dir_ / "file.jpg");
  FeedSet set;
  set.AddFolderTree(dir_ / "missing", "");
  set.AddFolderTree(dir_ / "file.jpg", "");
  set.AddFolderTree("", "");
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(log.Contains("Folder " + (dir_ / "missing") + " is not valid"));
  EXPECT_TRUE(log.Contains("Folder " + (dir_ / "file.jpg") + " is not valid"));
  EXPECT_FALSE(log.Contains("Folder  is not valid"));
}

TEST_F(FeedSetTest, LinkedFoldersAreFollowedButLoopsEnd) {
  std::string root = dir_ / "Root";
  std::string elsewhere = dir_ / "Elsewhere";
  TouchPhotos(root + "/A", 1);
  TouchPhotos(elsewhere, 2);
  ASSERT_EQ(::symlink(root.c_str(), (root + "/A/loop").c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), (root + "/Linked").c_str()), 0);

  FeedSet set;
  set.AddFolderTree(root, "");
  EXPECT_EQ(FeedFolders(set), (std::vector<std::string>{root + "/A", root + "/Linked"}));
}

TEST_F(FeedSetTest, PicksFeedsInProportionToTheirPhotos) {
  TouchPhotos(dir_ / "Ten", 10);
  TouchPhotos(dir_ / "Thirty", 30);
  FeedSet set;
  set.AddFolderTree(dir_ / "Ten", "");
  set.AddFolderTree(dir_ / "Thirty", "");
  ASSERT_EQ(set.size(), 2u);

  constexpr int kPicks = 41000;
  int ten = 0, thirty = 0;
  for (int i = 0; i < kPicks; ++i) {
    ImagePicker* feed = set.PickFeed();
    if (feed == set.feed(0)) ++ten;
    if (feed == set.feed(1)) ++thirty;
  }
  EXPECT_EQ(ten + thirty, kPicks);
  // The choice is among total + 1 values, the first feed taking 0 too.
  EXPECT_NEAR(static_cast<double>(ten) / kPicks, 11.0 / 41, 0.01);
  EXPECT_NEAR(static_cast<double>(thirty) / kPicks, 30.0 / 41, 0.01);
}

TEST_F(FeedSetTest, FeedsAddedLaterTakePartInPicking) {
  TouchPhotos(dir_ / "First", 1);
  TouchPhotos(dir_ / "Second", 20);
  FeedSet set;
  set.AddFolderTree(dir_ / "First", "");
  EXPECT_EQ(set.PickFeed(), set.feed(0));
  set.AddFolderTree(dir_ / "Second", "");
  int second = 0;
  for (int i = 0; i < 200; ++i) second += set.PickFeed() == set.feed(1) ? 1 : 0;
  EXPECT_GT(second, 150);
}

class FeedSetBuildTest : public FeedSetTest {
 protected:
  void SetUp() override {
    FeedSetTest::SetUp();
    home_ = env_.root() + "/home";
    TouchPhotos(home_ + "/Pictures", 1);
    TouchPhotos(shared_.path() + "/Shared", 1);
    TouchPhotos(listed_.path() + "/Listed", 1);
  }

  IsolatedEnvironment env_;
  LogCapture log_;
  TempDir shared_;
  TempDir listed_;
  ScopedEnv shared_env_{"QUOL_SHARED_PICTURES_DIR", shared_.path()};
  std::string home_;
};

TEST_F(FeedSetBuildTest, AddsMyPicturesSharedPicturesThenListedFoldersInOrder) {
  FeedSet set;
  set.Build(true, true, {listed_.path(), dir_ / "missing"}, false);
  EXPECT_EQ(FeedFolders(set),
            (std::vector<std::string>{home_ + "/Pictures", shared_.path() + "/Shared",
                                      listed_.path() + "/Listed"}));
}

TEST_F(FeedSetBuildTest, RootAndSwitchedOffSourcesAreLeftOut) {
  FeedSet set;
  set.Build(true, true, {}, true);
  EXPECT_EQ(FeedFolders(set), (std::vector<std::string>{shared_.path() + "/Shared"}));
  FeedSet switched_off;
  switched_off.Build(false, false, {listed_.path()}, false);
  EXPECT_EQ(FeedFolders(switched_off), (std::vector<std::string>{listed_.path() + "/Listed"}));
}

TEST_F(FeedSetBuildTest, SettingsChooseTheSources) {
  CSuiteSettings settings;
  settings.SetShowMyPictures(false);
  settings.SetShowSharedPictures(true);
  ASSERT_EQ(settings.SetFolders({listed_.path()}), S_OK);
  FeedSet set;
  set.Build(settings);
  EXPECT_EQ(FeedFolders(set), (std::vector<std::string>{shared_.path() + "/Shared",
                                                        listed_.path() + "/Listed"}));
}

}  // namespace
}  // namespace quol::saver
