#include "foundation/config/cobrand_module.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "foundation/testing/log_capture.h"
#include "platform/registry/registry.h"
#include "platform/testing/test_support.h"

namespace quol {
namespace {

using testing::WriteFileOrDie;

int RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Builds a partner bundle with glib-compile-resources and signs it with a
// key made for the test, which QUOL_TEST_TRUST_KEY makes trusted.
class CobrandModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = env_.root();
    WriteFileOrDie(d + "/bundle/strings/4000", "Partner Family Hub");
    WriteFileOrDie(d + "/bundle/strings/4001", "#FF123456");
    WriteFileOrDie(d + "/bundle/resources/PartnerSlideshowLogo.png", "not really a png");
    WriteFileOrDie(d + "/bundle/partner.xml",
                   "<gresources><gresource prefix='/quol'>"
                   "<file>strings/4000</file><file>strings/4001</file>"
                   "<file>resources/PartnerSlideshowLogo.png</file>"
                   "</gresource></gresources>");
    ASSERT_EQ(RunQuietly("glib-compile-resources --sourcedir=" + d + "/bundle --target=" + bundle_ + " " +
                  d + "/bundle/partner.xml"),
              0)
        << "glib-compile-resources (libglib2.0-dev-bin) is needed";
    ASSERT_EQ(RunQuietly("minisign -G -W -f -p " + d + "/test.pub -s " + d + "/test.key"), 0)
        << "minisign is needed";
    ASSERT_EQ(RunQuietly("minisign -S -s " + d + "/test.key -m " + bundle_), 0);
  }

  void WriteMachineKey(const std::string& values) {
    WriteFileOrDie(env_.registry_dir() + "/HKLM.reg",
                   "Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_LOCAL_MACHINE\\Software\\Quol\\Quol Vevuvov]\n" +
                       values);
  }

  testing::IsolatedEnvironment env_;
  testing::LogCapture log_;
  std::string bundle_ = env_.root() + "/partner.gresource";
  testing::ScopedEnv key_{"QUOL_TEST_TRUST_KEY", env_.root() + "/test.pub"};
};

TEST_F(CobrandModuleTest, ReadsIdSkuAndATrustedBundleFromTheRegistry) {
  WriteMachineKey("\"CobrandId\"=\"abc\"\n\"SKU\"=\"Collage\"\n\"Cobrand\"=\"" + bundle_ + "\"\n");
  CCobrandableModule module;
  module.LoadFromRegistry();
  EXPECT_EQ(module.cobrand_id(), "ABC");
  EXPECT_EQ(module.sku_index(), 2);
  ASSERT_TRUE(module.has_cobrand_library()) << log_.Text();
  EXPECT_EQ(module.LoadString(kStringProductName), "Partner Family Hub");
  EXPECT_EQ(module.LoadString(kStringCobrandColour), "#FF123456");
  EXPECT_EQ(module.LoadString(kStringCollageProductName), "Quol Collage");  // not in the bundle
  std::string logo;
  EXPECT_TRUE(module.LoadResource("PartnerSlideshowLogo.png", &logo));
  EXPECT_EQ(logo, "not really a png");
}

TEST_F(CobrandModuleTest, UntrustedBundlesAreNotLoaded) {
  // Tampered after signing.
  { std::ofstream(bundle_, std::ios::app) << "x"; }
  WriteMachineKey("\"Cobrand\"=\"" + bundle_ + "\"\n");
  CCobrandableModule tampered;
  tampered.LoadFromRegistry();
  EXPECT_FALSE(tampered.has_cobrand_library());
  EXPECT_EQ(tampered.LoadString(kStringProductName), "Quol");
  EXPECT_TRUE(log_.Contains("not trusted"));

  // Signed, but by a key nobody trusts.
  testing::ScopedEnv no_key("QUOL_TEST_TRUST_KEY", std::nullopt);
  ASSERT_EQ(RunQuietly("minisign -S -s " + env_.root() + "/test.key -m " + bundle_), 0);
  CCobrandableModule unknown_key;
  EXPECT_LT(unknown_key.LoadCobrandLibrary(bundle_), 0);
  EXPECT_EQ(unknown_key.LoadString(kStringProductName), "Quol");

  // No signature at all.
  ASSERT_EQ(::unlink((bundle_ + ".minisig").c_str()), 0);
  CCobrandableModule unsigned_bundle;
  EXPECT_LT(unsigned_bundle.LoadCobrandLibrary(bundle_), 0);
}

TEST_F(CobrandModuleTest, SkuIsMatchedExactlyAndMissingValuesKeepDefaults) {
  WriteMachineKey("\"SKU\"=\"collage\"\n\"CobrandId\"=\"\"\n");
  CCobrandableModule module;
  module.LoadFromRegistry();
  EXPECT_EQ(module.sku_index(), 0);
  EXPECT_EQ(module.cobrand_id(), "");
  EXPECT_FALSE(module.has_cobrand_library());

  WriteMachineKey("\"SKU\"=\"Vevuvov\"\n\"CobrandId\"=\"" + std::string(80, 'p') + "\"\n");
  CCobrandableModule long_id;
  long_id.LoadFromRegistry();
  EXPECT_EQ(long_id.sku_index(), 1);
  EXPECT_EQ(long_id.cobrand_id(), std::string(64, 'P'));
}

}  // namespace
}  // namespace quol
