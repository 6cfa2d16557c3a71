// Building collages: the layout around a random split point, the single-photo
// collage, the builder thread that keeps one collage ready, and the history
// that lets the user step back and forth.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "screensaver/collage/collage.h"
#include "screensaver/photos/feed.h"
#include "screensaver/widgets/slide_widget.h"

namespace quol::saver {

// Where collages come from. Unless a subclass says otherwise, everything
// runs on the calling thread.
class IBuildCollage {
 public:
  virtual ~IBuildCollage() = default;
  // A new collage; may take as long as building one takes.
  virtual std::unique_ptr<Collage> BuildCollage() = 0;
  // A new collage when one can be had without waiting, else null. Here:
  // built on the spot.
  virtual std::unique_ptr<Collage> TryTakeCollage() { return BuildCollage(); }
  // Draws a released collage anew. True when it is done on return; false
  // when another thread does it: the caller then leaves the collage alone
  // until RerenderDone(collage) says it is back.
  virtual bool StartRerender(Collage* collage) {
    collage->Rerender();
    return true;
  }
  virtual bool RerenderDone(const Collage* /*collage*/) { return true; }
  // The screen the collages are for changed size (a resized host window);
  // collages built from now on take the new size.
  virtual void SetSize(int /*width*/, int /*height*/) {}
};

// What a collage's overlays need from the widget side, called while the
// collage is laid out (see overlays.h for the real one).
class ICollageOverlays {
 public:
  virtual ~ICollageOverlays() = default;
  // 2 (bottom-left) or 3 (bottom-right).
  virtual int ChooseStackCorner() = 0;
  // Makes the collage's widget stack on first use and measures it.
  virtual WidgetSize MeasureStack(Collage& collage, cairo_t* cr) = 0;
  virtual void PlaceLogo(Collage& collage, cairo_t* cr, int corner) = 0;
  virtual void PlaceStack(Collage& collage, WidgetSize size, int corner, cairo_t* cr) = 0;
  virtual void PlaceNoticeStrip(Collage& collage, cairo_t* cr) = 0;
  // The height kept free of photos at the bottom.
  virtual int BottomBandHeight(const Collage& collage) = 0;
};

// Scales (iw, ih) to fit the box's size, keeping the aspect ratio.
WidgetSize FitSize(int image_width, int image_height, int box_width, int box_height);

// The order in which the four quadrants are filled for the areas a[0..3]:
// smallest, largest, second, third (ties keep 0, 1, 2, 3).
std::array<int, 4> CellOrder(const std::array<long long, 4>& areas);

class CollageGenerator : public IBuildCollage {
 public:
  static constexpr int kPhotoTries = 20;

  // `feed` and `overlays` are borrowed. `cancel`, when given, makes a build
  // stop early (the builder thread is being stopped).
  CollageGenerator(IFeedImageCollection* feed, int width, int height, ICollageOverlays* overlays,
                   const std::atomic<bool>* cancel = nullptr);
  std::unique_ptr<Collage> BuildCollage() override;

 private:
  struct Cell {
    Rect rect;
    bool portrait = false;
    int anchor = 0;
  };
  // Deals photos until one can be shown: its header read, its rectangle
  // found by `place` from its full size as shown, and the photo decoded at
  // that rectangle's size. Null when the feed has none (or after
  // kPhotoTries photos that could not be shown).
  std::unique_ptr<PhotoImage> GetPhoto(const std::function<Rect(int, int)>& place, Rect* rect);
  void BuildSinglePhoto(Collage& collage);
  void BuildFull(Collage& collage);
  // Fills the cell with the next photo; false when there is none.
  bool PlaceInCell(Collage& collage, Cell& cell);
  bool Cancelled() const { return cancel_ != nullptr && cancel_->load(); }

  IFeedImageCollection* feed_;
  int width_, height_;
  ICollageOverlays* overlays_;
  const std::atomic<bool>* cancel_;
};

// Keeps exactly one collage built ahead on a thread of its own, and draws
// released collages anew there, so that the window thread never waits on a
// photo file (a hung network mount can block an open or a read for good).
//
// Everything but the builder itself is called on the window thread.
class BackgroundCollageGenerator : public IBuildCollage {
 public:
  // Picks the feed for the next collage (on the builder thread); may return
  // nullptr when there is none. Whatever the picker and overlays refer to
  // must stay alive as long as the builder might run: the shared state keeps
  // them when a slow build outlives Stop().
  using FeedPicker = std::function<IFeedImageCollection*()>;
  // Called on the builder thread whenever a collage is ready to be taken or
  // a re-render is done; never after Stop() has returned.
  using ReadyCallback = std::function<void()>;
  static constexpr std::chrono::milliseconds kStopWait{1000};

  BackgroundCollageGenerator(int width, int height, FeedPicker picker,
                             std::shared_ptr<ICollageOverlays> overlays,
                             ReadyCallback on_ready = nullptr);
  ~BackgroundCollageGenerator() override;

  // Waits until the builder has a collage ready and takes it (tools and
  // tests; the saver uses TryTakeCollage).
  std::unique_ptr<Collage> BuildCollage() override;
  // The collage built ahead, or null at once when it is not finished yet.
  std::unique_ptr<Collage> TryTakeCollage() override;
  // Hands `collage` to the builder, which draws it anew before it builds
  // anything else. False (done later) unless it already has a bitmap. One at
  // a time: a second request while one runs is refused (returns false and
  // is not queued).
  bool StartRerender(Collage* collage) override;
  bool RerenderDone(const Collage* collage) override;
  // Whether the builder holds a collage of the caller's (a re-render runs).
  bool rerender_running() const;
  // Collages from now on are built at (width, height); one built ahead at
  // another size is dropped and built again. Never waits for the builder.
  void SetSize(int width, int height) override;

  // Stops the builder, waiting at most `bound`. True when the thread ended
  // and was joined. A builder still busy after that (stuck in a read) is
  // left behind: it owns what it uses (the shared state, the picker's and
  // overlays' objects) and drops its result; a collage it is re-rendering
  // must then never be destroyed by the caller. Later calls return the
  // first answer.
  bool Stop(std::chrono::milliseconds bound = kStopWait);

  // Builders left behind by Stop() in this process so far.
  static int AbandonedBuilders();

 private:
  struct State;
  static void BuilderMain(const std::shared_ptr<State>& state);
  std::shared_ptr<State> state_;
  std::thread thread_;
  bool stopped_ = false;
  bool joined_ = false;
};

// The collages shown so far (up to 100), of which at most two keep bitmaps.
// Window thread only.
class CollageHistory {
 public:
  static constexpr std::size_t kMaxCollages = 100;

  explicit CollageHistory(IBuildCollage* generator) : generator_(generator) {}

  // The next collage: the successor when the user had stepped back, else a
  // new one from the generator. May block until the builder has one.
  Collage* Next();
  // The same without waiting: null (and nothing changes) when a new
  // collage is needed and the generator has none ready.
  Collage* TryNext();
  // One step back; false at the oldest collage.
  bool Previous();
  Collage* Current();

  std::size_t size() const { return collages_.size(); }
  // Collages holding a bitmap (for tests and the debug panel).
  int CountWithBitmaps() const;

 private:
  void Enter(std::size_t index, bool forward);
  Collage* Append(std::unique_ptr<Collage> collage);
  bool StepForwardInList();
  void MakeRoom();

  IBuildCollage* generator_;
  std::deque<std::unique_ptr<Collage>> collages_;
  std::size_t current_ = 0;
  std::size_t first_ = 0;  // window of collages that keep bitmaps
  std::size_t last_ = 0;
  int window_count_ = 0;
};

}  // namespace quol::saver
