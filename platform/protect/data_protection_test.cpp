#include "platform/protect/data_protection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/protect/base64.h"
#include "platform/testing/test_support.h"

namespace quol::platform {
namespace {

TEST(Base64Test, EncodesWithoutPaddingAndDecodesLeniently) {
  EXPECT_EQ(Base64EncodeNoPadding(""), "");
  EXPECT_EQ(Base64EncodeNoPadding("f"), "Zg");
  EXPECT_EQ(Base64EncodeNoPadding("fo"), "Zm8");
  EXPECT_EQ(Base64EncodeNoPadding("foo"), "Zm9v");
  EXPECT_EQ(Base64EncodeNoPadding("\xFB\xFF"), "+/8");
  EXPECT_EQ(Base64DecodeLenient("Zm8"), "fo");
  EXPECT_EQ(Base64DecodeLenient("Zm8="), "fo");
  EXPECT_EQ(Base64DecodeLenient(" Z m\r\n9v!"), "foo");
  EXPECT_EQ(Base64DecodeLenient("+/8"), "\xFB\xFF");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Base64DecodeLenient(Base64EncodeNoPadding(all)), all);
}

TEST(DataProtectionTest, SealsAndOpensWithTheMachineKey) {
  testing::IsolatedEnvironment env;
  const std::string secret("p\0a\0s\0s\0\0\0", 10);
  std::string sealed;
  ASSERT_EQ(ProtectData(secret, &sealed), S_OK);
  EXPECT_EQ(sealed.find("p\0a", 0, 3), std::string::npos);
  std::string sealed_again;
  ASSERT_EQ(ProtectData(secret, &sealed_again), S_OK);
  EXPECT_NE(sealed, sealed_again);  // fresh nonce each time

  std::string plain;
  ASSERT_EQ(UnprotectData(sealed, &plain), S_OK);
  EXPECT_EQ(plain, secret);

  struct stat st {};
  ASSERT_EQ(::stat(MachineKeyPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
}

TEST(DataProtectionTest, RejectsDamageShortInputAndOtherMachines) {
  testing::IsolatedEnvironment env;
  std::string sealed;
  ASSERT_EQ(ProtectData("secret", &sealed), S_OK);
  std::string plain = "stale";
  for (std::size_t i : {std::size_t{0}, sealed.size() / 2, sealed.size() - 1}) {
    std::string damaged = sealed;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x01);
    EXPECT_LT(UnprotectData(damaged, &plain), 0) << "byte " << i;
    EXPECT_TRUE(plain.empty());
  }
  EXPECT_LT(UnprotectData(sealed.substr(0, 20), &plain), 0);
  EXPECT_LT(UnprotectData("", &plain), 0);

  testing::IsolatedEnvironment other_machine;
  EXPECT_LT(UnprotectData(sealed, &plain), 0);
}

}  // namespace
}  // namespace quol::platform
