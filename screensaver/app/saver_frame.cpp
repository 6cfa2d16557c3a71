#include "screensaver/app/saver_frame.h"

#include <X11/XF86keysym.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>

#include <unistd.h>

#include <algorithm>

#include "foundation/log/process_log.h"
#include "platform/clock/clock.h"
#include "screensaver/app/screen_capture.h"
#include "screensaver/app/slide_canvas.h"
#include "screensaver/fader/gl_cross_fader.h"
#include "screensaver/fader/window_image.h"
#include "screensaver/widgets/png_resource.h"
#include "screensaver/widgets/session_status.h"
#include "screensaver/x11/x_display.h"
#include "screensaver/x11/x_resources.h"

namespace quol::saver {
namespace {

constexpr int kSlideTimer = 1;
constexpr int kMinuteTimer = 2;
constexpr int kResizeTimer = 3;
// A host window dragged to a new size sends a stream of sizes: the slides
// are redrawn once it has held still this long.
constexpr std::chrono::milliseconds kResizeSettle{150};
constexpr int kMovementSlack = 20;
constexpr int kVkEscape = 27;

// The desktop's virtual-key numbers for the keys the saver tells apart.
enum VirtualKey : int {
  kVkBack = 8, kVkTab = 9, kVkReturn = 13, kVkShift = 16, kVkControl = 17, kVkMenu = 18,
  kVkSpace = 32, kVkLeft = 37, kVkUp = 38, kVkRight = 39, kVkDown = 40, kVkLeftWin = 91,
  kVkRightWin = 92, kVkF1 = 112, kVkVolumeMute = 173, kVkVolumeDown = 174, kVkVolumeUp = 175,
  kVkMediaNext = 176, kVkMediaPrev = 177, kVkMediaStop = 178, kVkMediaPlay = 179,
};

ScopedXCursor MakeBlankCursor(Display* display, Window root) {
  char bits[1] = {0};
  const ScopedXPixmap pixmap(display, XCreateBitmapFromData(display, root, bits, 1, 1));
  XColor black{};
  return ScopedXCursor(display, XCreatePixmapCursor(display, pixmap.get(), pixmap.get(), &black,
                                                    &black, 0, 0));
}

}  // namespace

int VirtualKeyFromKeysym(unsigned long keysym) {
  if (keysym >= XK_a && keysym <= XK_z) return static_cast<int>(keysym - XK_a + 'A');
  if ((keysym >= XK_A && keysym <= XK_Z) || (keysym >= XK_0 && keysym <= XK_9)) {
    return static_cast<int>(keysym);
  }
  if (keysym >= XK_F1 && keysym <= XK_F24) return static_cast<int>(kVkF1 + (keysym - XK_F1));
  switch (keysym) {
    case XK_Escape: return kVkEscape;
    case XK_Left: case XK_KP_Left: return kVkLeft;
    case XK_Up: case XK_KP_Up: return kVkUp;
    case XK_Right: case XK_KP_Right: return kVkRight;
    case XK_Down: case XK_KP_Down: return kVkDown;
    case XK_Shift_L: case XK_Shift_R: return kVkShift;
    case XK_Control_L: case XK_Control_R: return kVkControl;
    case XK_Alt_L: case XK_Alt_R: case XK_Meta_L: case XK_Meta_R: return kVkMenu;
    case XK_Super_L: return kVkLeftWin;
    case XK_Super_R: return kVkRightWin;
    case XK_Return: case XK_KP_Enter: return kVkReturn;
    case XK_BackSpace: return kVkBack;
    case XK_Tab: return kVkTab;
    case XK_space: return kVkSpace;
    case XF86XK_AudioMute: return kVkVolumeMute;
    case XF86XK_AudioLowerVolume: return kVkVolumeDown;
    case XF86XK_AudioRaiseVolume: return kVkVolumeUp;
    case XF86XK_AudioNext: return kVkMediaNext;
    case XF86XK_AudioPrev: return kVkMediaPrev;
    case XF86XK_AudioStop: return kVkMediaStop;
    case XF86XK_AudioPlay: case XF86XK_AudioPause: return kVkMediaPlay;
    default: {
      // Keys without a number of their own must never look like the keys
      // the saver ignores (Shift, volume and media), so they end it.
      const int low = static_cast<int>(keysym & 0xFF);
      return IsIgnoredKey(low) ? 0 : low;
    }
  }
}

bool IsIgnoredKey(int virtual_key) {
  return virtual_key == kVkShift || (virtual_key >= 173 && virtual_key <= 179) ||
         virtual_key == 255;
}

std::vector<MonitorRect> QueryMonitors(Display* display) {
  std::vector<MonitorRect> monitors;
  int event_base = 0, error_base = 0;
  if (XRRQueryExtension(display, &event_base, &error_base)) {
    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    for (int i = 0; info != nullptr && i < count; ++i) {
      monitors.push_back(MonitorRect{info[i].x, info[i].y, info[i].width, info[i].height,
                                     info[i].primary != 0});
    }
    if (info != nullptr) XRRFreeMonitors(info);
  }
  if (monitors.empty()) {
    monitors.push_back(MonitorRect{0, 0, DisplayWidth(display, DefaultScreen(display)),
                                   DisplayHeight(display, DefaultScreen(display)), true});
  }
  // Without a monitor flagged primary, the first one is.
  if (std::none_of(monitors.begin(), monitors.end(), [](const MonitorRect& m) { return m.primary; })) {
    monitors.front().primary = true;
  }
  return monitors;
}

bool WindowExists(Display* display, unsigned long window) {
  if (window == 0) return false;
  XErrorTrap trap(display);
  XWindowAttributes attributes;
  const Status ok = XGetWindowAttributes(display, window, &attributes);
  return !trap.HasError() && ok != 0;
}

SaverFrame::SaverFrame(Display* display, MessageLoop* loop, Options options)
    : display_(display), loop_(loop), options_(std::move(options)) {}

SaverFrame::~SaverFrame() {
  snapshot_.reset();
  fader_.reset();
}

Window SaverFrame::MakeWindow(Window parent, const MonitorRect& rect, bool with_gl,
                              bool override_redirect) {
  XSetWindowAttributes attributes{};
  unsigned long mask = CWBackPixel | CWEventMask;
  attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
  attributes.event_mask = embedded_ ? ExposureMask | StructureNotifyMask
                                    : KeyPressMask | ButtonPressMask | PointerMotionMask |
                                          ExposureMask | VisibilityChangeMask | StructureNotifyMask;
  if (blank_cursor_) {
    attributes.cursor = blank_cursor_.get();
    mask |= CWCursor;
  }
  if (override_redirect) {
    attributes.override_redirect = True;
    mask |= CWOverrideRedirect;
  }
  if (with_gl && gl_visual_) {
    return gl_visual_->CreateWindow(parent, rect.x, rect.y, rect.width, rect.height, attributes,
                                    mask);
  }
  return XCreateWindow(display_, parent, rect.x, rect.y, static_cast<unsigned>(rect.width),
                       static_cast<unsigned>(rect.height), 0, CopyFromParent, InputOutput,
                       CopyFromParent, mask, &attributes);
}

bool SaverFrame::CreateFullScreen() {
  const Window root = DefaultRootWindow(display_);
  const std::vector<MonitorRect> monitors = QueryMonitors(display_);
  for (const MonitorRect& monitor : monitors) {
    if (monitor.primary) primary_ = monitor;
  }
  blank_cursor_ = MakeBlankCursor(display_, root);
  if (auto visual = GlCrossFader::ChooseWindowVisual(display_, DefaultScreen(display_))) {
    gl_visual_ = std::make_unique<GlWindowVisual>(std::move(*visual));
  }
  // The desktop as it was, before any window of ours covers it.
  snapshot_ = CaptureScreen(display_, primary_.x, primary_.y, primary_.width, primary_.height);

  const bool topmost = !options_.debug;
  for (const MonitorRect& monitor : monitors) {
    MonitorRect rect = monitor;
    if (options_.debug && !monitor.primary) {
      rect.width = std::min(rect.width, 100);
      rect.height = std::min(rect.height, 100);
    }
    Window window = MakeWindow(root, rect, monitor.primary, topmost);
    if (window == 0) continue;
    XStoreName(display_, window, monitor.primary ? "Quol Collage" : "Quol Collage (blank)");
    if (monitor.primary) {
      main_window_ = ScopedXWindow(display_, window);
    } else {
      blank_windows_.emplace_back(display_, window);
    }
  }
  if (!main_window_) {
    LogError("No window for the screen saver");
    return false;
  }
  for (const ScopedXWindow& window : blank_windows_) XMapRaised(display_, window.get());
  ShowDesktopUntilFirstFade();
  XMapRaised(display_, main_window_.get());
  XSync(display_, False);
  if (topmost) GrabInput();
  StartMovementBoxAtPointer();

  loop_->AddEventFilter([this](XEvent& event) { return OnEvent(event); });
  loop_->AddIdleHandler([this] { return fader_ && fader_->Step(); });
  SetUpSlideShow();
  RestartSlideTimer();
  loop_->PostTimer(kSlideTimer);  // the first slide at once
  return true;
}

bool SaverFrame::CreateEmbedded(Window target) {
  embedded_ = true;
  embed_target_ = target != 0 ? target : DefaultRootWindow(display_);
  XWindowAttributes attributes{};
  {
    XErrorTrap trap(display_);
    if (XGetWindowAttributes(display_, embed_target_, &attributes) == 0 || trap.HasError()) {
      LogError("Window 0x%lx does not exist", embed_target_);
      return false;
    }
  }
  primary_ = MonitorRect{0, 0, attributes.width, attributes.height, true};
  XSelectInput(display_, embed_target_, StructureNotifyMask | ExposureMask);
  if (auto visual = GlCrossFader::ChooseWindowVisual(display_, DefaultScreen(display_))) {
    gl_visual_ = std::make_unique<GlWindowVisual>(std::move(*visual));
  }
  main_window_ = ScopedXWindow(display_, MakeWindow(embed_target_, primary_, true, false));
  if (!main_window_) return false;
  XMapWindow(display_, main_window_.get());
  XSync(display_, False);
  loop_->AddEventFilter([this](XEvent& event) { return OnEvent(event); });
  loop_->AddIdleHandler([this] { return fader_ && fader_->Step(); });
  SetUpSlideShow();
  RestartSlideTimer();
  loop_->PostTimer(kSlideTimer);
  return true;
}

// The main window comes up showing the desktop as it was, so the first
// slide (the snapshot) is on screen the moment the window maps; the first
// fade then starts from it.
void SaverFrame::ShowDesktopUntilFirstFade() {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display_, main_window_.get(), &attributes) == 0) return;
  const Window root = DefaultRootWindow(display_);
  XErrorTrap trap(display_);
  ScopedXPixmap pixmap(display_, XCreatePixmap(display_, root,
                                               static_cast<unsigned>(primary_.width),
                                               static_cast<unsigned>(primary_.height),
                                               static_cast<unsigned>(attributes.depth)));
  {
    const ScopedXGc gc(display_, XCreateGC(display_, pixmap.get(), 0, nullptr));
    XSetSubwindowMode(display_, gc.get(), IncludeInferiors);
    XCopyArea(display_, root, pixmap.get(), gc.get(), primary_.x, primary_.y,
              static_cast<unsigned>(primary_.width), static_cast<unsigned>(primary_.height), 0, 0);
  }
  XSetWindowBackgroundPixmap(display_, main_window_.get(), pixmap.get());
  pixmap.reset();  // the window keeps its own reference
  desktop_background_ = !trap.HasError();
}

// The box the pointer may wander in starts where the pointer is when the
// windows come up: the server sends no motion before the first move, and a
// box taken from that first move would let one long jump go unnoticed.
void SaverFrame::StartMovementBoxAtPointer() {
  Window root_return = 0, child = 0;
  int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
  unsigned int buttons = 0;
  if (XQueryPointer(display_, DefaultRootWindow(display_), &root_return, &child, &root_x, &root_y,
                    &win_x, &win_y, &buttons) != 0) {
    OnMotion(root_x, root_y);
  }
}

void SaverFrame::GrabInput() {
  // Override-redirect windows never get the focus: without the grabs key
  // presses would go elsewhere. The window manager may hold a grab briefly.
  bool keyboard = false, pointer = false;
  for (int attempt = 0; attempt < 100 && !(keyboard && pointer); ++attempt) {
    if (!keyboard) {
      keyboard = grab_.GrabKeyboard(main_window_.get());
    }
    if (!pointer) {
      pointer = grab_.GrabPointer(main_window_.get(), ButtonPressMask | PointerMotionMask,
                                  blank_cursor_.get());
    }
    if (!(keyboard && pointer)) usleep(20000);
  }
  if (!keyboard || !pointer) {
    LogError("Input grab failed (keyboard %d, pointer %d)", keyboard ? 1 : 0, pointer ? 1 : 0);
  }
}

void SaverFrame::SetUpSlideShow() {
  SlideShow::Options slides = options_.slides;
  const WidgetSize canvas = SlideCanvasSize(primary_.width, primary_.height);
  slides.screen_width = canvas.width;
  slides.screen_height = canvas.height;
  slides.overlays.primary_screen_width = canvas.width;
  slides.overlays.debug_mode = options_.debug;
  if (!slides.overlays.shift_d_held && !embedded_) {
    Display* display = display_;
    // Read on the builder thread: a query of its own, on a connection of its
    // own, so the window thread's connection is never shared.
    slides.overlays.shift_d_held = [name = std::string(DisplayString(display))] {
      XDisplay connection = XDisplay::Open(name);
      if (!connection) return false;
      char keys[32];
      XQueryKeymap(connection.get(), keys);
      auto held = [&](KeySym sym) {
        const KeyCode code = XKeysymToKeycode(connection.get(), sym);
        return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
      };
      return (held(XK_Shift_L) || held(XK_Shift_R)) && held(XK_d);
    };
  }
  if (options_.updates != nullptr) {
    IUpdateStatus* updates = options_.updates;
    MessageLoop* loop = loop_;
    updates->MainWindowCreated([loop](std::function<void()> task) { loop->PostTask(std::move(task)); });
    slides.required_upgrade = updates->RequiredUpgrade();
    slides.upgrade_available = updates->UpgradeAvailable();
    slides.overlays.upgrade_available = [updates] { return updates->UpgradeAvailable(); };
  }
  MessageLoop* loop = loop_;
  slides.on_ready = [loop, this] { loop->PostTask([this] { OnSlideReady(); }); };
  slide_show_.SetUp(slides);
}

bool SaverFrame::IsOurWindow(Window window) const {
  return window == main_window_.get() ||
         std::any_of(blank_windows_.begin(), blank_windows_.end(),
                     [window](const ScopedXWindow& blank) { return blank.get() == window; });
}

bool SaverFrame::OnEvent(XEvent& event) {
  switch (event.type) {
    case KeyPress:
      if (IsOurWindow(event.xkey.window)) OnKey(event.xkey);
      return true;
    case ButtonPress:
      if (!embedded_) CloseAll();
      return true;
    case MotionNotify:
      OnMotion(event.xmotion.x_root, event.xmotion.y_root);
      return true;
    case VisibilityNotify:
      // Stay on top of anything that comes up later.
      if (!options_.debug && event.xvisibility.state != VisibilityUnobscured) {
        XRaiseWindow(display_, event.xvisibility.window);
      }
      return true;
    case ConfigureNotify:
      if (embedded_ && event.xconfigure.window == embed_target_) {
        OnHostConfigured(event.xconfigure.width, event.xconfigure.height);
      }
      return true;
    case Expose:
      // Our window has no background of its own once the fader draws (it
      // would flash between frames): what was uncovered is drawn again.
      if (event.xexpose.window == main_window_.get() && event.xexpose.count == 0 && fader_ &&
          !closing_) {
        fader_->Repaint();
      }
      return true;
    case DestroyNotify:
      if (embedded_ && event.xdestroywindow.window == embed_target_) {
        LogInfo("Host window gone; ending");
        main_window_.release();  // went with its host
        CloseAll();
      }
      return true;
    default:
      return false;
  }
}

void SaverFrame::OnHostConfigured(int width, int height) {
  if (closing_ || !main_window_ || width <= 0 || height <= 0) return;
  if (width == primary_.width && height == primary_.height) return;  // moved only
  // The server clears the resized window to its black background. The
  // fader goes with the old size: drawn at that size into the new window it
  // would leave a stale strip or an offset picture.
  XResizeWindow(display_, main_window_.get(), static_cast<unsigned>(width),
                static_cast<unsigned>(height));
  primary_.width = width;
  primary_.height = height;
  fader_.reset();
  loop_->SetTimer(kResizeTimer, kResizeSettle, [this](int) { ApplyHostSize(); });
}

void SaverFrame::ApplyHostSize() {
  loop_->KillTimer(kResizeTimer);
  if (closing_) return;
  const WidgetSize canvas = SlideCanvasSize(primary_.width, primary_.height);
  slide_show_.Resize(canvas.width, canvas.height);
  LogInfo("Host window now %dx%d; slides drawn at %dx%d", primary_.width, primary_.height,
          canvas.width, canvas.height);
  // Until the next slide, the one on screen stays, fitted to the new size.
  // A slide shown meanwhile already made a fader of the new size.
  if (fader_ || !last_slide_) return;
  SurfacePtr keep = std::move(last_slide_);
  ShowSlide(keep.get(), true);  // makes the fader
  if (fader_) fader_->FadeTo(FitPicture(keep.get(), primary_.width, primary_.height).get());
}

void SaverFrame::OnKey(XKeyEvent& event) {
  monitor_off_ = false;
  char text[8] = {0};
  KeySym keysym = 0;
  XLookupString(&event, text, sizeof text - 1, &keysym, nullptr);
  int key = VirtualKeyFromKeysym(keysym);

  if (text[0] == '/' && !IsRestrictedSession()) {
    if (options_.settings != nullptr) {
      // The pages come up over the saver: they need the keyboard and the
      // pointer, and the pointer must be seen while they are open. The saver
      // ends when they close, so nothing is taken back afterwards.
      grab_.Release();
      XUndefineCursor(display_, main_window_.get());
      for (const ScopedXWindow& blank : blank_windows_) XUndefineCursor(display_, blank.get());
      XFlush(display_);
      options_.settings->Run(2, main_window_.get());
    } else {
      LogInfo("The settings window is not part of this build");
    }
    key = kVkEscape;
  }

  switch (key) {
    case kVkEscape:
      EndSaver(key);
      return;
    case kVkLeft:
    case kVkDown: {
      SurfacePtr now = PictureOfScreen();
      if (now) ShowSlide(now.get(), true);
      PreviousCollage();
      return;
    }
    case kVkUp:
    case kVkRight: {
      SurfacePtr now = PictureOfScreen();
      if (now) ShowSlide(now.get(), true);
      NextSlide();
      return;
    }
    case 'C':
      if (!IsRestrictedSession() && options_.launch_client) options_.launch_client();
      EndSaver(key);
      return;
    case 'D':
      if ((event.state & ShiftMask) != 0) return;  // Shift+D asks for the debug panel
      EndSaver(key);
      return;
    case 'S':
      if (options_.copy_to_clipboard) {
        if (SurfacePtr picture = slide_show_.CurrentDisplayBitmap()) {
          options_.copy_to_clipboard(picture.get());
        }
      }
      EndSaver(key);
      return;
    default:
      if (IsIgnoredKey(key)) return;
      if (!options_.debug) EndSaver(key);
      return;
  }
}

void SaverFrame::EndSaver(int virtual_key) {
  LogInfo("Exiting screen saver because %d pressed.", virtual_key);
  CloseAll();
}

void SaverFrame::OnMotion(int x, int y) {
  monitor_off_ = false;
  if (!movement_box_set_) {
    movement_box_set_ = true;
    box_left_ = x - kMovementSlack;
    box_top_ = y - kMovementSlack;
    box_right_ = x + kMovementSlack;
    box_bottom_ = y + kMovementSlack;
    return;
  }
  // Left and top edges are inside the box, right and bottom edges outside.
  const bool inside = x >= box_left_ && x < box_right_ && y >= box_top_ && y < box_bottom_;
  if (!inside && !options_.debug && !embedded_) CloseAll();
}

std::vector<Window> SaverFrame::blank_windows() const {
  std::vector<Window> ids;
  for (const ScopedXWindow& window : blank_windows_) ids.push_back(window.get());
  return ids;
}

void SaverFrame::CloseAll() {
  if (closing_) return;
  closing_ = true;
  grab_.Release();
  fader_.reset();
  blank_windows_.clear();
  if (main_window_) {
    // A foreign parent may be going at this moment: an error here is expected.
    XErrorTrap trap(display_);
    main_window_.reset();
    trap.HasError();
  }
  XFlush(display_);
  loop_->Quit(0);
}

void SaverFrame::ShowSlide(cairo_surface_t* slide, bool instant) {
  if (closing_ || !main_window_) return;
  // Slides are drawn for the canvas; the window may be smaller, or a host
  // window may have changed size since the slide was drawn.
  SurfacePtr fitted = FitPicture(slide, primary_.width, primary_.height);
  if (!fitted) return;
  cairo_surface_t* picture = fitted.get();
  if (embedded_) last_slide_.reset(cairo_surface_reference(slide));
  if (!fader_) {
    fader_ = CreateCrossFader(display_, main_window_.get(), primary_.width, primary_.height,
                              [loop = loop_] { loop->Wake(); });
  }
  if (instant) {
    fader_->SetPicture(picture);
    return;
  }
  fader_->FadeTo(picture);
  if (desktop_background_) {
    // From now on the fader owns the pixels; the server paints nothing.
    XSetWindowBackgroundPixmap(display_, main_window_.get(), None);
    desktop_background_ = false;
  }
  RestartSlideTimer();
}

void ArmMinuteTimer(MessageLoop& loop, int timer_id, int interval_seconds, int utc_second,
                    const MessageLoop::TimerHandler& handler) {
  if (interval_seconds < 30000) return;
  const int second = std::clamp(utc_second, 0, 59);
  if (loop.HasTimer(timer_id) && second != 0) loop.KillTimer(timer_id);
  if (!loop.HasTimer(timer_id)) {
    loop.SetTimer(timer_id, std::chrono::milliseconds((60 - second) * 1000), handler);
  }
}

void SaverFrame::RestartSlideTimer() {
  const int interval = std::max(1, options_.photo_interval_seconds);
  ArmMinuteTimer(*loop_, kMinuteTimer, interval, platform::UtcNow().second,
                 [this](int id) { Tick(id); });
  loop_->KillTimer(kSlideTimer);
  loop_->SetTimer(kSlideTimer, std::chrono::milliseconds(static_cast<long long>(interval) * 1000),
                  [this](int id) { Tick(id); });
}

bool MonitorPower::Observe(int state, bool monitor_off) {
  if (state != kOff) state = kOn;
  if (state == last_state_) return monitor_off;
  LogInfo("Monitor power change: %d", state);
  last_state_ = state;
  return state == kOff;
}

void SaverFrame::CheckMonitorPower() {
  if (embedded_) return;
  int state = MonitorPower::kOn;
  if (options_.power_state) {
    state = options_.power_state();
  } else {
    int event_base = 0, error_base = 0;
    if (!DPMSQueryExtension(display_, &event_base, &error_base)) return;
    CARD16 level = 0;
    BOOL enabled = False;
    if (!DPMSInfo(display_, &level, &enabled)) return;
    if (enabled && level != DPMSModeOn) state = MonitorPower::kOff;
  }
  monitor_off_ = power_.Observe(state, monitor_off_);
}

void SaverFrame::Tick(int timer_id) {
  if (closing_) return;
  if (timer_id == kSlideTimer && snapshot_) {
    ShowSlide(snapshot_.get(), true);
    snapshot_.reset();
  }
  if (options_.updates != nullptr && options_.updates->SecondsUntilCheck() <= 0) {
    options_.updates->StartBackgroundCheck();
  }
  CheckMonitorPower();
  if (timer_id == kSlideTimer) {
    if (!monitor_off_) NextSlide();
  } else {
    ReshowCurrent();
  }
}

void SaverFrame::NextSlide() {
  SurfacePtr picture = slide_show_.NextBitmap();
  if (picture) ShowSlide(picture.get(), false);
}

void SaverFrame::PreviousCollage() {
  if (SurfacePtr picture = slide_show_.StepBack()) ShowSlide(picture.get(), false);
}

void SaverFrame::OnSlideReady() {
  if (closing_) return;
  if (SurfacePtr picture = slide_show_.ResumeDeferred()) ShowSlide(picture.get(), false);
}

void SaverFrame::ReshowCurrent() {
  SurfacePtr picture = slide_show_.CurrentDisplayBitmap();
  if (picture) ShowSlide(picture.get(), false);
}

SurfacePtr SaverFrame::PictureOfScreen() {
  if (embedded_) return nullptr;
  return CaptureScreen(display_, primary_.x, primary_.y, primary_.width, primary_.height);
}

PreviewWindow::PreviewWindow(Display* display, MessageLoop* loop)
    : display_(display), loop_(loop) {}

PreviewWindow::~PreviewWindow() = default;

HRESULT PreviewWindow::Create(Display* display, MessageLoop* loop, Window parent,
                              std::unique_ptr<PreviewWindow>* out) {
  out->reset();
  std::unique_ptr<PreviewWindow> preview(new PreviewWindow(display, loop));
  if (!preview->Open(parent)) return E_INVALIDARG;
  *out = std::move(preview);
  return S_OK;
}

bool PreviewWindow::Open(Window parent) {
  XWindowAttributes attributes{};
  {
    XErrorTrap trap(display_);
    if (XGetWindowAttributes(display_, parent, &attributes) == 0 || trap.HasError()) return false;
  }
  parent_ = parent;
  images_[0] = LoadPngResource(nullptr, "PreviewWindow1", false);
  images_[1] = LoadPngResource(nullptr, "PreviewWindow2", false);
  XSetWindowAttributes set{};
  set.background_pixel = BlackPixel(display_, DefaultScreen(display_));
  set.event_mask = ExposureMask | StructureNotifyMask;
  window_ = ScopedXWindow(
      display_, XCreateWindow(display_, parent, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), 0, CopyFromParent,
                              InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &set));
  XSelectInput(display_, parent, StructureNotifyMask);
  XMapWindow(display_, window_.get());
  loop_->AddEventFilter([this](XEvent& event) { return OnEvent(event); });
  loop_->SetTimer(1, std::chrono::milliseconds(kSwitchMs), [this](int) {
    shown_ = 1 - shown_;
    Paint();
  });
  return true;
}

bool PreviewWindow::OnEvent(XEvent& event) {
  if (event.type == Expose && event.xexpose.window == window_.get() && event.xexpose.count == 0) {
    Paint();
    return true;
  }
  if (event.type == ConfigureNotify && event.xconfigure.window == parent_) {
    XResizeWindow(display_, window_.get(), static_cast<unsigned>(event.xconfigure.width),
                  static_cast<unsigned>(event.xconfigure.height));
    return true;
  }
  if (event.type == DestroyNotify &&
      (event.xdestroywindow.window == parent_ || event.xdestroywindow.window == window_.get())) {
    window_.release();  // gone, or going with its parent
    loop_->KillTimer(1);
    loop_->Quit(0);
    return true;
  }
  return false;
}

void PreviewWindow::Paint() {
  if (!window_ || !images_[shown_]) return;
  XErrorTrap trap(display_);
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display_, window_.get(), &attributes) == 0 || trap.HasError()) return;
  cairo_surface_t* image = images_[shown_].get();
  auto draw = [&](cairo_surface_t* target) {
    cairo_t* cr = cairo_create(target);
    cairo_scale(cr, static_cast<double>(attributes.width) / cairo_image_surface_get_width(image),
                static_cast<double>(attributes.height) / cairo_image_surface_get_height(image));
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    cairo_destroy(cr);
  };
  // Drawn in memory and put on the window as one image: Cairo 1.16 loses 32
  // bytes on every picture it sends through its own shared-memory uploads
  // (cairo-xlib), which the sanitizer builds report at exit.
  if (!canvas_ || canvas_->width() != attributes.width ||
      canvas_->height() != attributes.height) {
    canvas_.reset();
    canvas_ = WindowImage::Create(display_, window_.get(), attributes.width, attributes.height);
  }
  if (canvas_) {
    draw(canvas_->surface());
    cairo_surface_flush(canvas_->surface());
    canvas_->Push();
  } else {
    // A visual WindowImage does not take: let Cairo put it there.
    cairo_surface_t* target = cairo_xlib_surface_create(display_, window_.get(), attributes.visual,
                                                        attributes.width, attributes.height);
    draw(target);
    cairo_surface_destroy(target);
    XFlush(display_);
  }
  trap.HasError();
}

}  // namespace quol::saver
