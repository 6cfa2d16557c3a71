// The screen saver on screen: one borderless window per monitor (the primary
// one shows the slides, the others stay black), the keyboard and pointer
// grabbed, the slide and minute timers, the keys and the mouse that end the
// saver or act on it, and the fader that puts every slide on the window.
//
// In embedded mode (xscreensaver, or -window-id) the slides go into a child
// of a window someone else owns: no grabs, no input, no windows of our own
// on the screen; the saver ends when that window goes away.
//
// Everything here runs on the window thread, which never waits on the
// collage builder or on a photo file: a slide that is not ready yet is shown
// when the builder says it is (through MessageLoop::PostTask).
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "screensaver/app/message_loop.h"
#include "screensaver/app/saver_services.h"
#include "screensaver/app/slide_show.h"
#include "screensaver/fader/cross_fader.h"
#include "screensaver/x11/x_resources.h"

namespace quol::saver {

class GlWindowVisual;
class WindowImage;

struct MonitorRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool primary = false;
};

// The monitors from RandR, primary first flagged; the whole root window when
// RandR reports none.
std::vector<MonitorRect> QueryMonitors(Display* display);

// Virtual-key codes of the keys the saver cares about, from X key symbols.
int VirtualKeyFromKeysym(unsigned long keysym);

// Whether a key (virtual-key code) is one the saver ignores: Shift, the
// volume and media keys.
bool IsIgnoredKey(int virtual_key);

// With slide intervals of 30000 s and more the clock would stand still for
// hours: a minute timer `timer_id` then shows the collage again on every
// full minute. Called whenever the slide timer restarts, at UTC second
// `utc_second`: a minute timer running off the minute is set again to the
// next one; shorter intervals leave it alone.
void ArmMinuteTimer(MessageLoop& loop, int timer_id, int interval_seconds, int utc_second,
                    const MessageLoop::TimerHandler& handler);

// What the saver makes of the monitor's power state, asked on every tick.
// Only a change counts: a key or a move clears the monitor-off flag, and it
// stays clear while the state reads the same as before.
class MonitorPower {
 public:
  static constexpr int kOff = 2;
  static constexpr int kOn = -1;
  // The monitor-off flag after seeing `state` (kOff, or anything else for
  // on) with the flag at `monitor_off`. Each change is logged, "Monitor
  // power change: 2" when it goes off, except the first report of "on".
  bool Observe(int state, bool monitor_off);

 private:
  int last_state_ = kOn;
};

class SaverFrame {
 public:
  struct Options {
    bool debug = false;
    int photo_interval_seconds = 10;
    SlideShow::Options slides;       // screen size and overlays are filled in here
    IUpdateStatus* updates = nullptr;  // not owned; null: no update checker
    ISettingsWindow* settings = nullptr;  // not owned; null: not in this build
    // Starts the desktop client with "/S" (the "C" key); null: the registry's.
    std::function<void()> launch_client;
    // Copies a picture to the clipboard (the "S" key); null: nothing copied.
    std::function<bool(cairo_surface_t*)> copy_to_clipboard;
    // The monitor's power state, asked on every tick: kMonitorOff when power
    // management has switched it off. Null: the X server's DPMS state.
    std::function<int()> power_state;
  };

  SaverFrame(Display* display, MessageLoop* loop, Options options);
  ~SaverFrame();
  SaverFrame(const SaverFrame&) = delete;
  SaverFrame& operator=(const SaverFrame&) = delete;

  // Full screen on every monitor. False (logged) when no window can be made.
  bool CreateFullScreen();
  // Draws into `target` (0: the root window).
  bool CreateEmbedded(Window target);

  // Ends the saver: windows destroyed, loop told to quit.
  void CloseAll();

  Window main_window() const { return main_window_.get(); }
  std::vector<Window> blank_windows() const;
  bool monitor_off() const { return monitor_off_; }

 private:
  bool OnEvent(XEvent& event);
  bool IsOurWindow(Window window) const;
  void OnKey(XKeyEvent& event);
  void EndSaver(int virtual_key);
  void OnMotion(int x, int y);
  void Tick(int timer_id);
  void ShowSlide(cairo_surface_t* picture, bool instant);
  void NextSlide();
  void PreviousCollage();
  // The builder has something: the slide it still owed, if that is it.
  void OnSlideReady();
  void ReshowCurrent();
  void RestartSlideTimer();
  void CheckMonitorPower();
  SurfacePtr PictureOfScreen();
  void SetUpSlideShow();
  Window MakeWindow(Window parent, const MonitorRect& rect, bool with_gl, bool override_redirect);
  void GrabInput();
  void StartMovementBoxAtPointer();
  // The host window changed size: ours follows at once (black), the
  // slides once the size has settled (ApplyHostSize).
  void OnHostConfigured(int width, int height);
  void ApplyHostSize();
  void ShowDesktopUntilFirstFade();

  Display* display_;
  MessageLoop* loop_;
  Options options_;
  std::unique_ptr<GlWindowVisual> gl_visual_;
  ScopedXWindow main_window_;
  std::vector<ScopedXWindow> blank_windows_;
  Window embed_target_ = 0;
  ScopedXCursor blank_cursor_;
  MonitorRect primary_;
  std::unique_ptr<ICrossFader> fader_;
  SurfacePtr snapshot_;
  // The last slide handed to the fader, as the slide show drew it: shown
  // again, fitted, when the window changes size.
  SurfacePtr last_slide_;
  SlideShow slide_show_;
  bool monitor_off_ = false;
  MonitorPower power_;
  bool movement_box_set_ = false;
  int box_left_ = 0, box_top_ = 0, box_right_ = 0, box_bottom_ = 0;
  // Held from GrabInput until CloseAll (or the end of the frame).
  ScopedXInputGrab grab_{display_};
  bool closing_ = false;
  bool desktop_background_ = false;
  bool embedded_ = false;
};

// The preview in the display settings' little screen: two pictures taking
// turns every 5 seconds, stretched over a child of `parent`. Ends when the
// parent goes away.
class PreviewWindow {
 public:
  static constexpr int kSwitchMs = 5000;
  // Makes the preview as a child of `parent` and starts its timer: S_OK with
  // the preview in `out`, or E_INVALIDARG (nothing made) when `parent` does
  // not exist. Window thread.
  [[nodiscard]] static HRESULT Create(Display* display, MessageLoop* loop, Window parent,
                                      std::unique_ptr<PreviewWindow>* out);
  ~PreviewWindow();
  PreviewWindow(const PreviewWindow&) = delete;
  PreviewWindow& operator=(const PreviewWindow&) = delete;
  int shown_index() const { return shown_; }

 private:
  PreviewWindow(Display* display, MessageLoop* loop);
  bool Open(Window parent);
  bool OnEvent(XEvent& event);
  void Paint();

  Display* display_;
  MessageLoop* loop_;
  Window parent_ = 0;
  ScopedXWindow window_;
  SurfacePtr images_[2];
  std::unique_ptr<WindowImage> canvas_;  // the window's size, remade when that changes
  int shown_ = 0;
};

// Whether `window` exists on the display.
bool WindowExists(Display* display, unsigned long window);

}  // namespace quol::saver
