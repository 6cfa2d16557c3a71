#include "screensaver/widgets/session_status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol::saver {
namespace {

class SessionStatusTest : public ::testing::Test {
 protected:
  void WriteSecureValue(bool as_dword, const std::string& text, std::uint32_t number) {
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(platform::RegistryHive::kCurrentUser, "Control Panel\\Desktop"), S_OK);
    static_cast<void>(key.DeleteValue("ScreenSaverIsSecure"));  // absent the first time
    ASSERT_EQ(as_dword ? key.WriteDword("ScreenSaverIsSecure", number)
                       : key.WriteString("ScreenSaverIsSecure", text),
              S_OK);
  }
  void WriteXScreensaver(const std::string& content) {
    testing::WriteFileOrDie(env_.root() + "/home/.xscreensaver", content);
  }

  testing::IsolatedEnvironment env_;  // HOME and the registry in a temporary folder
};

TEST_F(SessionStatusTest, SecureFromTheRegistryValue) {
  EXPECT_FALSE(ScreenSaverIsSecure());  // nothing set
  WriteSecureValue(true, "", 1);
  EXPECT_TRUE(ScreenSaverIsSecure());
  WriteSecureValue(true, "", 0);
  EXPECT_FALSE(ScreenSaverIsSecure());
  WriteSecureValue(true, "", 7);
  EXPECT_TRUE(ScreenSaverIsSecure());
  WriteSecureValue(false, "1", 0);
  EXPECT_TRUE(ScreenSaverIsSecure());
  WriteSecureValue(false, "0", 0);
  EXPECT_FALSE(ScreenSaverIsSecure());
  WriteSecureValue(false, "yes", 0);
  EXPECT_FALSE(ScreenSaverIsSecure());
}

TEST_F(SessionStatusTest, SecureFromTheXScreensaverLockSetting) {
  WriteXScreensaver("timeout:\t0:10:00\nlockTimeout:\t0:00:00\nlock:\t\tFalse\n");
  EXPECT_FALSE(ScreenSaverIsSecure());
  WriteXScreensaver("timeout:\t0:10:00\n  lock:\t\tTrue  \nfade:\tTrue\n");
  EXPECT_TRUE(ScreenSaverIsSecure());
}

TEST_F(SessionStatusTest, RestrictedWhenSecureLockedOrRoot) {
  auto with = [](bool secure, bool root, const char* desktop) {
    ScopedSessionProviders scope(SessionProviders{[secure] { return secure; }, [root] { return root; },
                                                  [root] { return root; },
                                                  [desktop] { return std::string(desktop); }});
    return IsRestrictedSession();
  };
  EXPECT_FALSE(with(false, false, "Default"));
  EXPECT_FALSE(with(false, false, "default"));
  EXPECT_TRUE(with(false, false, "Winlogon"));
  EXPECT_TRUE(with(true, false, "Default"));
  EXPECT_TRUE(with(false, true, "Default"));
}

TEST_F(SessionStatusTest, DefaultProvidersAndScopedReplacement) {
  const SessionStatus plain = ReadSessionStatus();
  EXPECT_FALSE(plain.secure);
  EXPECT_EQ(plain.desktop_name, "Default");
  EXPECT_FALSE(plain.locked());
  EXPECT_EQ(plain.local_system, geteuid() == 0);
  {
    ScopedSessionProviders scope(SessionProviders{{}, {}, {}, [] { return std::string("Winlogon"); }});
    const SessionStatus locked = ReadSessionStatus();
    EXPECT_TRUE(locked.locked());
    EXPECT_EQ(locked.local_system, geteuid() == 0);  // unset: the default provider
  }
  EXPECT_EQ(ReadSessionStatus().desktop_name, "Default");
}

}  // namespace
}  // namespace quol::saver
