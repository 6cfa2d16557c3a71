// The slide show: what the next slide is. A pending notice comes first; a
// saver started after idle time opens with a tip; then collages from the
// history (built one ahead by the builder thread), with a tip whenever no
// collage can be had.
//
// Used on the window thread only, and it never waits there: a collage that
// is not built yet, or one being drawn anew, is the builder thread's
// business. The caller keeps showing what it shows, and the builder calls
// Options::on_ready (on its own thread) when there is something to show;
// the caller then asks ResumeDeferred() on the window thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "screensaver/collage/collage_generator.h"
#include "screensaver/collage/overlays.h"
#include "screensaver/photos/feed_set.h"
#include "screensaver/slides/message_slide.h"

namespace quol::saver {

class SlideShow {
 public:
  struct Options {
    int screen_width = 0;
    int screen_height = 0;
    // The user touched the computer less than a minute ago (or nobody can
    // tell): the saver was started by hand and opens with a collage.
    bool started_by_hand = true;
    bool required_upgrade = false;
    bool upgrade_available = false;
    bool restricted_session = false;
    std::vector<std::string> configured_tips;
    bool show_my_pictures = true;
    bool show_shared_pictures = true;
    std::vector<std::string> folders;
    bool running_as_root = false;
    OverlayEnvironment overlays;
    // Build collages on the window thread instead of a builder thread
    // (tests and tools that want one thread).
    bool build_inline = false;
    // Called on the builder thread when a collage is ready or drawn anew;
    // must only hand the news to the window thread (see MessageLoop::PostTask).
    std::function<void()> on_ready;
    // How long the destructor waits for the builder before leaving it.
    std::chrono::milliseconds builder_stop_wait = BackgroundCollageGenerator::kStopWait;
  };

  SlideShow() = default;
  ~SlideShow();
  SlideShow(const SlideShow&) = delete;
  SlideShow& operator=(const SlideShow&) = delete;

  void SetUp(const Options& options);

  // The next slide's picture (the caller owns it), or null when the next
  // collage is not ready yet (or Cairo cannot make a screen-sized surface).
  SurfacePtr NextBitmap();
  // The current collage's picture again (with a fresh clock), or null.
  SurfacePtr CurrentDisplayBitmap();
  // Steps back one collage: its own bitmap without overlays (a reference of
  // the caller's), or null at the oldest and while that collage is still
  // being drawn anew.
  SurfacePtr StepBack();
  // What a NextBitmap() or StepBack() that returned null was waiting for,
  // once it is there; null while it is not (or nothing waits).
  SurfacePtr ResumeDeferred();
  // A slide the builder still owes.
  bool deferred() const { return deferred_ != Deferred::kNothing; }

  // Slides from now on are drawn at (width, height): message slides at
  // once, collages from the next one the builder starts (one it had built
  // ahead at the old size is dropped). Collages already shown keep their
  // size. Never waits for the builder.
  void Resize(int width, int height);
  int width() const { return options_.screen_width; }
  int height() const { return options_.screen_height; }

  const PendingNotice& notice() const { return notice_; }
  const TipList& tips() const { return tips_; }
  bool has_collages() const { return history_ != nullptr; }
  bool opening_tip_done() const { return opening_tip_done_; }
  CollageHistory* history() { return history_.get(); }

 private:
  enum class Deferred { kNothing, kNext, kBack };
  SurfacePtr TipSlide();
  SurfacePtr ComposeOrTip(Collage* collage);
  SurfacePtr CollageSlide();
  // Has the builder draw `collage` anew when it has no bitmap. False when
  // that is under way (the answer comes with ResumeDeferred).
  bool Drawn(Collage* collage, Deferred purpose);

  Options options_;
  std::shared_ptr<FeedSet> feeds_;
  std::unique_ptr<IBuildCollage> generator_;
  std::shared_ptr<CollageOverlays> overlays_;
  std::unique_ptr<CollageHistory> history_;
  bool opening_tip_done_ = false;
  Deferred deferred_ = Deferred::kNothing;
  Collage* rerendering_ = nullptr;  // handed to the builder, not to be touched
  PendingNotice notice_;
  TipList tips_;
};

}  // namespace quol::saver
