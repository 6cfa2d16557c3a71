// The main of every test program: before any test (or anything a test's
// static objects do) runs, HOME, the XDG folders and the suite's data and
// registry folders point at a fresh temporary tree, removed at the end. A
// test that forgets its own isolation then writes there, never into the
// home of whoever runs the tests. The machine-wide mutexes ("Global\...") live
// in that tree too, so test programs run side by side never see each
// other's locks. HTTP reaches only this machine (QUOL_LOOPBACK_ONLY). GTK's accessibility bridge stays off: it looks for a
// session bus the tests do not have, and what it leaves behind when there is
// none is reported by the leak checker of the sanitizer builds.
#include <gtest/gtest.h>

#include "platform/testing/test_support.h"

int main(int argc, char** argv) {
  quol::testing::IsolatedEnvironment isolated;
  quol::testing::ScopedEnv global_locks("QUOL_GLOBAL_LOCK_DIR", isolated.root() + "/global");
  quol::testing::ScopedEnv no_accessibility_bus("NO_AT_BRIDGE", std::string("1"));
  // Nothing but this machine is ever contacted, whatever a configuration
  // names (programs the tests start inherit it).
  quol::testing::ScopedEnv loopback_only("QUOL_LOOPBACK_ONLY", std::string("1"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
