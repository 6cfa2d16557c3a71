// The client's test programs use the suite's GTK-on-Xvfb test environment.
#pragma once

#include "platform/testing/gtk_xvfb.h"

namespace quol::client::frametest {

using ClientXvfbEnvironment = quol::testing::GtkXvfbEnvironment;

}  // namespace quol::client::frametest
