#include "screensaver/app/slide_show.h"

#include "foundation/log/process_log.h"

namespace quol::saver {
namespace {

// Builds on the calling thread.
class InlineGenerator : public IBuildCollage {
 public:
  InlineGenerator(std::shared_ptr<FeedSet> feeds, std::shared_ptr<CollageOverlays> overlays,
                  int width, int height)
      : feeds_(std::move(feeds)), overlays_(std::move(overlays)), width_(width), height_(height) {}
  std::unique_ptr<Collage> BuildCollage() override {
    CollageGenerator generator(feeds_->PickFeed(), width_, height_, overlays_.get());
    return generator.BuildCollage();
  }
  void SetSize(int width, int height) override {
    width_ = width;
    height_ = height;
  }

 private:
  std::shared_ptr<FeedSet> feeds_;
  std::shared_ptr<CollageOverlays> overlays_;
  int width_, height_;
};

SurfacePtr Reference(cairo_surface_t* surface) {
  return SurfacePtr(surface != nullptr ? cairo_surface_reference(surface) : nullptr);
}

}  // namespace

SlideShow::~SlideShow() {
  auto* background = dynamic_cast<BackgroundCollageGenerator*>(generator_.get());
  if (background != nullptr && rerendering_ != nullptr &&
      !background->Stop(options_.builder_stop_wait)) {
    // The builder left behind may still draw into one of the history's
    // collages: the history is never freed.
    static_cast<void>(history_.release());
  }
  // The history goes first, then the builder is stopped, then the feeds.
  history_.reset();
  if (background != nullptr) background->Stop(options_.builder_stop_wait);
  generator_.reset();
  feeds_.reset();
}

void SlideShow::SetUp(const Options& options) {
  options_ = options;
  if (options.started_by_hand) opening_tip_done_ = true;
  if (options.required_upgrade) {
    notice_.Set(kRequiredUpgradeNotice, true);
    return;
  }
  tips_.Fill(options.upgrade_available, options.configured_tips, options.restricted_session);

  feeds_ = std::make_shared<FeedSet>();
  feeds_->Build(options.show_my_pictures, options.show_shared_pictures, options.folders,
                options.running_as_root);
  if (feeds_->empty()) {
    notice_.Set(kNoPhotosNotice, true);
    opening_tip_done_ = false;
    return;
  }
  overlays_ = std::make_shared<CollageOverlays>(options.overlays);
  if (options.build_inline) {
    generator_ = std::make_unique<InlineGenerator>(feeds_, overlays_, options.screen_width,
                                                   options.screen_height);
  } else {
    std::shared_ptr<FeedSet> feeds = feeds_;
    generator_ = std::make_unique<BackgroundCollageGenerator>(
        options.screen_width, options.screen_height,
        [feeds]() -> IFeedImageCollection* { return feeds->PickFeed(); }, overlays_,
        options.on_ready);
  }
  history_ = std::make_unique<CollageHistory>(generator_.get());
}

void SlideShow::Resize(int width, int height) {
  if (width <= 0 || height <= 0) return;
  if (width == options_.screen_width && height == options_.screen_height) return;
  options_.screen_width = width;
  options_.screen_height = height;
  if (generator_) generator_->SetSize(width, height);
}

SurfacePtr SlideShow::TipSlide() {
  return RenderMessageSlide(tips_.Pick(), options_.screen_width, options_.screen_height);
}

SurfacePtr SlideShow::ComposeOrTip(Collage* collage) {
  if (SurfacePtr picture = ComposeDisplayBitmap(*collage)) return picture;
  return TipSlide();
}

bool SlideShow::Drawn(Collage* collage, Deferred purpose) {
  if (collage->has_bitmap() || generator_->StartRerender(collage)) return true;
  rerendering_ = collage;
  deferred_ = purpose;
  return false;
}

SurfacePtr SlideShow::CollageSlide() {
  if (rerendering_ != nullptr) return nullptr;  // its picture comes first
  Collage* collage = history_->TryNext();
  if (collage == nullptr) {
    deferred_ = Deferred::kNext;
    return nullptr;
  }
  deferred_ = Deferred::kNothing;
  if (!Drawn(collage, Deferred::kNext)) return nullptr;
  return ComposeOrTip(collage);
}

SurfacePtr SlideShow::NextBitmap() {
  if (notice_.pending()) {
    LogInfo("MessageSlide: %s (%d)", notice_.text().c_str(), notice_.sticky() ? 1 : 0);
    SurfacePtr slide =
        RenderMessageSlide(notice_.text(), options_.screen_width, options_.screen_height);
    notice_.Shown();
    return slide;
  }
  if (!opening_tip_done_) {
    opening_tip_done_ = true;
    LogInfo("ShowProductTip: Yes");
    return TipSlide();
  }
  if (history_) return CollageSlide();
  LogInfo("ShowProductTip: Yes");
  return TipSlide();
}

SurfacePtr SlideShow::CurrentDisplayBitmap() {
  if (notice_.pending()) return nullptr;
  if (!opening_tip_done_) {
    opening_tip_done_ = true;
    return nullptr;
  }
  if (!history_ || rerendering_ != nullptr) return nullptr;
  Collage* collage = history_->Current();
  if (collage == nullptr || !collage->has_bitmap()) return nullptr;
  return ComposeDisplayBitmap(*collage);
}

SurfacePtr SlideShow::StepBack() {
  if (!history_ || rerendering_ != nullptr || !history_->Previous()) return nullptr;
  Collage* collage = history_->Current();
  if (!Drawn(collage, Deferred::kBack)) return nullptr;
  deferred_ = Deferred::kNothing;  // stepping back replaces a slide still owed
  return Reference(collage->bitmap());
}

SurfacePtr SlideShow::ResumeDeferred() {
  if (rerendering_ != nullptr) {
    if (!generator_->RerenderDone(rerendering_)) return nullptr;
    Collage* collage = rerendering_;
    rerendering_ = nullptr;
    const Deferred purpose = deferred_;
    deferred_ = Deferred::kNothing;
    return purpose == Deferred::kBack ? Reference(collage->bitmap()) : ComposeOrTip(collage);
  }
  if (deferred_ == Deferred::kNext && history_) return CollageSlide();
  return nullptr;
}

}  // namespace quol::saver
