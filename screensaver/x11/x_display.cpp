#include "screensaver/x11/x_display.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "foundation/log/process_log.h"

namespace quol::saver {

XDisplay& XDisplay::operator=(XDisplay&& other) noexcept {
  if (this != &other) {
    Close();
    display_ = other.release();
  }
  return *this;
}

XDisplay XDisplay::Open(const std::string& name) {
  return XDisplay(XOpenDisplay(name.empty() ? nullptr : name.c_str()));
}

Display* XDisplay::release() {
  Display* display = display_;
  display_ = nullptr;
  return display;
}

void XDisplay::Close() {
  if (display_ != nullptr) XCloseDisplay(display_);
  display_ = nullptr;
}

std::string XErrorText(Display* display, int error_code) {
  char text[256] = {};
  XGetErrorText(display, error_code, text, sizeof(text));
  return text;
}

namespace {

std::atomic<int> g_non_fatal_errors{0};
XErrorTrap* g_active_trap = nullptr;

int LogXError(Display* display, XErrorEvent* event) {
  g_non_fatal_errors.fetch_add(1);
  LogError("X error %d (%s), request %d.%d, resource 0x%lx", event->error_code,
           XErrorText(display, event->error_code).c_str(), event->request_code,
           event->minor_code, event->resourceid);
  return 0;
}

}  // namespace

void InstallNonFatalXErrorHandler() {
  // While a trap is active it owns the handler; it restores this one later.
  if (g_active_trap == nullptr) XSetErrorHandler(LogXError);
}

int NonFatalXErrorCount() { return g_non_fatal_errors.load(); }

namespace {

void (*g_on_connection_loss)() = nullptr;
int g_connection_loss_exit_code = 1;
std::atomic<bool> g_connection_lost{false};

int OnConnectionLoss(Display*) {
  if (g_connection_lost.exchange(true)) {
    // The first thread is ending the process; this one must not race it.
    for (;;) ::pause();
  }
  if (g_on_connection_loss != nullptr) g_on_connection_loss();
  // Not fflush(nullptr): a stuck worker may hold the lock of a file it reads.
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(g_connection_loss_exit_code);
}

}  // namespace

void InstallXConnectionLossHandler(void (*on_loss)(), int exit_code) {
  g_on_connection_loss = on_loss;
  g_connection_loss_exit_code = exit_code;
  XSetIOErrorHandler(&OnConnectionLoss);
}

XErrorTrap::XErrorTrap(Display* display) : display_(display), outer_(g_active_trap) {
  XSync(display_, False);
  previous_handler_ = XSetErrorHandler(Handler);
  g_active_trap = this;
}

XErrorTrap::~XErrorTrap() {
  XSync(display_, False);
  g_active_trap = outer_;
  XSetErrorHandler(previous_handler_);
}

int XErrorTrap::Handler(Display* display, XErrorEvent* event) {
  XErrorTrap* trap = g_active_trap;
  if (trap == nullptr) return LogXError(display, event);
  if (display != trap->display_) {
    // Another connection's error: whoever handled errors before decides.
    return trap->previous_handler_ != nullptr ? trap->previous_handler_(display, event) : 0;
  }
  if (trap->error_count_++ == 0) trap->first_error_code_ = event->error_code;
  return 0;
}

bool XErrorTrap::HasError() {
  XSync(display_, False);
  return error_count_ > 0;
}

int XErrorTrap::first_error_code() {
  XSync(display_, False);
  return first_error_code_;
}

}  // namespace quol::saver
