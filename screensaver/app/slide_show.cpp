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

 private:
  std::shared_ptr<FeedSet> feeds_;
  std::shared_ptr<CollageOverlays> overlays_;
  int width_, height_;
};

}  // namespace

SlideShow::~SlideShow() {
  // The history goes first, then the builder is stopped, then the feeds.
  history_.reset();
  if (auto* background = dynamic_cast<BackgroundCollageGenerator*>(generator_.get())) {
    background->Stop();
  }
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
        [feeds]() -> IFeedImageCollection* { return feeds->PickFeed(); }, overlays_);
  }
  history_ = std::make_unique<CollageHistory>(generator_.get());
}

SurfacePtr SlideShow::TipSlide() {
  return RenderMessageSlide(tips_.Pick(), options_.screen_width, options_.screen_height);
}

SurfacePtr SlideShow::Compose(Collage* collage) {
  if (collage == nullptr) return nullptr;
  if (!collage->has_bitmap()) collage->Rerender();
  return ComposeDisplayBitmap(*collage);
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
  if (history_) {
    if (SurfacePtr picture = Compose(history_->Next())) return picture;
  } else {
    LogInfo("ShowProductTip: Yes");
  }
  return TipSlide();
}

SurfacePtr SlideShow::CurrentDisplayBitmap() {
  if (notice_.pending()) return nullptr;
  if (!opening_tip_done_) {
    opening_tip_done_ = true;
    return nullptr;
  }
  if (!history_) return nullptr;
  return Compose(history_->Current());
}

cairo_surface_t* SlideShow::StepBack() {
  if (!history_ || !history_->Previous()) return nullptr;
  Collage* collage = history_->Current();
  if (!collage->has_bitmap()) collage->Rerender();
  return collage->bitmap();
}

}  // namespace quol::saver
