#include "screensaver/photos/image_picker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "screensaver/common/random.h"

namespace quol::saver {
namespace {

class ImagePickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugRandom(true);
    SeedThreadRandomWith(12345);
  }
  void TearDown() override { SetDebugRandom(false); }

  static std::vector<std::string> Paths(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back("/photos/" + std::to_string(i) + ".jpg");
    return paths;
  }

  // Every index is exactly once either still in the deck, in the current
  // collage or on the used pile.
  static void ExpectEveryPhotoAccountedFor(const ImagePicker& picker) {
    const ShuffleDeck* deck = picker.deck();
    ASSERT_NE(deck, nullptr);
    std::vector<int> all(deck->order().begin() + static_cast<std::ptrdiff_t>(deck->position()),
                         deck->order().end());
    all.insert(all.end(), deck->current().begin(), deck->current().end());
    all.insert(all.end(), deck->used().begin(), deck->used().end());
    std::sort(all.begin(), all.end());
    std::vector<int> expected(picker.photo_count());
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
    EXPECT_EQ(all, expected);
  }
};

TEST_F(ImagePickerTest, EligibleNamesByExtensionIgnoringCase) {
  for (const char* name : {"a.JPG", "b.Jpeg", "c.png", "d.jpg", "e.PNG", "x.y.jpeg"}) {
    EXPECT_TRUE(IsEligiblePhotoName(name)) << name;
  }
  for (const char* name :
       {"d.gif", "e.bmp", ".f.jpg", "jpg", "g.jpg.txt", "h.jpe", "", ".png", "i.", "j.jpgx"}) {
    EXPECT_FALSE(IsEligiblePhotoName(name)) << name;
  }
}

TEST_F(ImagePickerTest, PhoneFormatNamesAreEligibleIgnoringCase) {
  const struct {
    const char* name;
    bool eligible;
  } cases[] = {
      {"IMG_0001.HEIC", true}, {"b.heif", true},   {"c.Avif", true},      {"d.webp", true},
      {"x.y.WebP", true},      {".e.heic", false}, {".webp", false},      {"f.heics", false},
      {"g.heic.txt", false},   {"heic", false},    {"h.avifs", false},    {"i.hei", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsEligiblePhotoName(c.name), c.eligible) << c.name;
}

TEST_F(ImagePickerTest, EmptyFeedHasNothingToDeal) {
  ImagePicker picker("Empty", false);
  picker.SetPhotos({});
  EXPECT_EQ(picker.deck(), nullptr);
  EXPECT_EQ(picker.NextPhoto(), "");
  EXPECT_EQ(picker.NextSinglePhoto(), "");
  picker.EndCollage();
  EXPECT_EQ(picker.NextPhoto(), "");
}

TEST_F(ImagePickerTest, FiveFeedDealsEveryPhotoBeforeAnyRepeat) {
  ImagePicker picker("Five", false);
  picker.SetPhotos(Paths(5));
  std::vector<std::string> dealt;
  for (int collage = 0; collage < 12; ++collage) {
    std::set<std::string> in_collage;
    for (int i = 0; i < 2; ++i) {
      std::string path = picker.NextPhoto();
      ASSERT_FALSE(path.empty());
      EXPECT_TRUE(in_collage.insert(path).second) << "repeated within a collage: " << path;
      dealt.push_back(path);
    }
    picker.EndCollage();
    ExpectEveryPhotoAccountedFor(picker);
  }
  std::set<std::string> first_five(dealt.begin(), dealt.begin() + 5);
  EXPECT_EQ(first_five.size(), 5u);
}

TEST_F(ImagePickerTest, CollageNeverGetsMorePhotosThanTheFeedHas) {
  ImagePicker picker("Three", false);
  picker.SetPhotos(Paths(3));
  for (int collage = 0; collage < 4; ++collage) {
    std::set<std::string> in_collage;
    for (int i = 0; i < 3; ++i) in_collage.insert(picker.NextPhoto());
    EXPECT_EQ(in_collage.size(), 3u);
    EXPECT_EQ(picker.NextPhoto(), "");
    ExpectEveryPhotoAccountedFor(picker);
    picker.EndCollage();
  }
}

TEST_F(ImagePickerTest, OnePhotoFeedGivesItOncePerCollage) {
  ImagePicker picker("One", false);
  picker.SetPhotos({"/photos/only.jpg"});
  for (int collage = 0; collage < 3; ++collage) {
    EXPECT_EQ(picker.NextPhoto(), "/photos/only.jpg");
    EXPECT_EQ(picker.NextPhoto(), "");
    EXPECT_EQ(picker.NextPhoto(), "");
    picker.EndCollage();
  }
}

TEST_F(ImagePickerTest, SinglePhotosKeepOnlyTheLastCurrentAndNeverRepeatBackToBack) {
  ImagePicker picker("Four", true);
  picker.SetPhotos(Paths(4));
  std::vector<std::string> shown;
  for (int i = 0; i < 40; ++i) {
    shown.push_back(picker.NextSinglePhoto());
    ASSERT_FALSE(shown.back().empty());
    ASSERT_EQ(picker.deck()->current().size(), 1u);
    EXPECT_EQ(picker.photos()[static_cast<std::size_t>(picker.deck()->current()[0])],
              shown.back());
    ExpectEveryPhotoAccountedFor(picker);
    if (i > 0) {
      EXPECT_NE(shown[static_cast<std::size_t>(i)], shown[static_cast<std::size_t>(i) - 1]);
    }
  }
  EXPECT_EQ(std::set<std::string>(shown.begin(), shown.begin() + 4).size(), 4u);
}

TEST_F(ImagePickerTest, OneOrTwoSinglePhotos) {
  ImagePicker one("One", true);
  one.SetPhotos({"/photos/only.jpg"});
  for (int i = 0; i < 4; ++i) EXPECT_EQ(one.NextSinglePhoto(), "/photos/only.jpg");

  // Two take turns.
  ImagePicker two("Two", true);
  two.SetPhotos(Paths(2));
  std::string first = two.NextSinglePhoto();
  std::string second = two.NextSinglePhoto();
  EXPECT_NE(first, second);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(two.NextSinglePhoto(), first);
    EXPECT_EQ(two.NextSinglePhoto(), second);
  }
}

TEST_F(ImagePickerTest, SinglePhotoAfterCollagePhotosReturnsThemToThePile) {
  ImagePicker picker("Mixed", false);
  picker.SetPhotos(Paths(3));
  picker.NextPhoto();
  picker.NextPhoto();
  std::string single = picker.NextSinglePhoto();
  ASSERT_FALSE(single.empty());
  EXPECT_EQ(picker.deck()->current().size(), 1u);
  EXPECT_EQ(picker.deck()->used().size(), 2u);
  ExpectEveryPhotoAccountedFor(picker);
}

}  // namespace
}  // namespace quol::saver
