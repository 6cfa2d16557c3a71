#include "screensaver/collage/collage_generator.h"

#include <algorithm>

#include "foundation/log/process_log.h"
#include "platform/crash/crash_handler.h"
#include "screensaver/common/random.h"

namespace quol::saver {

WidgetSize FitSize(int image_width, int image_height, int box_width, int box_height) {
  if (image_height <= 0 || box_height <= 0) return WidgetSize{box_width, box_height};
  const float ri = static_cast<float>(image_width) / static_cast<float>(image_height);
  const float rb = static_cast<float>(box_width) / static_cast<float>(box_height);
  if (rb > ri) return WidgetSize{static_cast<int>(ri * static_cast<float>(box_height)), box_height};
  if (rb < ri) return WidgetSize{box_width, static_cast<int>(static_cast<float>(box_width) / ri)};
  return WidgetSize{box_width, box_height};
}

std::array<int, 4> CellOrder(const std::array<long long, 4>& areas) {
  std::array<int, 4> sorted = {0, 1, 2, 3};
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](int a, int b) { return areas[static_cast<std::size_t>(a)] <
                                              areas[static_cast<std::size_t>(b)]; });
  return {sorted[0], sorted[3], sorted[1], sorted[2]};
}

CollageGenerator::CollageGenerator(IFeedImageCollection* feed, int width, int height,
                                   ICollageOverlays* overlays, const std::atomic<bool>* cancel)
    : feed_(feed), width_(width), height_(height), overlays_(overlays), cancel_(cancel) {}

std::unique_ptr<PhotoImage> CollageGenerator::GetPhoto(
    const std::function<Rect(int, int)>& place, Rect* rect) {
  for (int attempt = 0; attempt < kPhotoTries && !Cancelled(); ++attempt) {
    std::string path = feed_->NextPhoto();
    if (path.empty()) return nullptr;
    // The layout needs only the header; the pixels are decoded once, at
    // the size the photo gets.
    std::unique_ptr<PhotoImage> photo = PhotoImage::Open(path, width_, height_);
    if (!photo->has_size()) continue;
    *rect = place(photo->photo_width(), photo->photo_height());
    if (rect->width <= 0 || rect->height <= 0) return photo;  // takes no pixels at all
    if (photo->DecodeToSize(rect->width, rect->height)) return photo;
  }
  return nullptr;
}

std::unique_ptr<Collage> CollageGenerator::BuildCollage() {
  auto collage = std::make_unique<Collage>(width_, height_);
  const int m = collage->m();
  const int s = collage->s();
  const bool too_small = 2 * s >= height_ - 6 * m || 2 * s >= width_ - 6 * m;
  if (feed_ == nullptr) {
    collage->Finish();
    return collage;
  }
  if (feed_->IsSinglePhoto() || too_small) {
    BuildSinglePhoto(*collage);
  } else {
    BuildFull(*collage);
    collage->feed_name = feed_->FeedName();
  }
  return collage;
}

void CollageGenerator::BuildSinglePhoto(Collage& collage) {
  collage.single_photo = true;
  const int m = collage.m();
  const Rect box{4 * m, 4 * m, width_ - 8 * m, height_ - 8 * m};
  Rect rect;
  std::unique_ptr<PhotoImage> photo = GetPhoto(
      [&box](int photo_width, int photo_height) {
        WidgetSize fitted = FitSize(photo_width, photo_height, box.width, box.height);
        return Rect{box.x + (box.width - fitted.width) / 2,
                    box.y + (box.height - fitted.height) / 2, fitted.width, fitted.height};
      },
      &rect);
  if (photo) {
    feed_->EndCollage();
    const std::string path = photo->path();
    collage.AddPhoto(rect, std::move(photo), path);
  }
  collage.Finish();
}

void CollageGenerator::BuildFull(Collage& collage) {
  const int m = collage.m();
  const int s = collage.s();
  const int corner = overlays_->ChooseStackCorner();
  collage.stack_corner = corner;
  cairo_t* cr = nullptr;
  ContextPtr context;
  if (cairo_surface_t* layer = collage.EnsurePhotoLayer()) {
    context = MakeContext(layer);
    cr = context.get();
  }

  WidgetSize stack = overlays_->MeasureStack(collage, cr);
  overlays_->PlaceLogo(collage, cr, corner == 2 ? 3 : 2);
  const int band = overlays_->BottomBandHeight(collage);

  const int x = 3 * m, y = 3 * m, w = width_ - 6 * m;
  int h = height_ - 6 * m;

  // Clamp the stack so that photos keep room on both sides of the split.
  int sw = std::min(stack.width, std::min(w - s, w / 2) - 4 * m);
  int sh = std::min(stack.height, std::min(h - s, h / 2) - 4 * m);
  sw = std::max(sw, 0);
  sh = std::max(sh, 0);
  const int mm = s + 2 * m;
  const int left = corner == 2 ? std::max(sw + 4 * m, mm) : mm;
  const int right = corner == 3 ? std::max(sw + 4 * m, mm) : mm;
  const int top = mm;
  const int bottom = mm + std::min(band, sh) + 4 * m;
  const int a = RandomBelow(h - top - bottom);
  const int b = RandomBelow(w - left - right);
  const int a2 = RandomBelow(h - top - bottom);
  const int b2 = RandomBelow(w - left - right);
  const int px = ((x + left + b) + (x + left + b2)) / 2;
  const int py = ((y + top + a) + (y + top + a2)) / 2;
  collage.split_x = px;
  collage.split_y = py;

  overlays_->PlaceStack(collage, WidgetSize{sw, sh}, corner, cr);
  if (static_cast<int>(Random31() % 100) <= 20) overlays_->PlaceNoticeStrip(collage, cr);
  h -= overlays_->BottomBandHeight(collage);

  const std::array<long long, 4> areas = {
      static_cast<long long>(px) * py, static_cast<long long>(w - px) * py,
      static_cast<long long>(px) * (h - py), static_cast<long long>(w - px) * (h - py)};
  for (int k : CellOrder(areas)) {
    Cell cell;
    switch (k) {
      case 0: cell.rect = Rect{x, y, px - x, py - y}; break;
      case 1: cell.rect = Rect{px, y, x + w - px, py - y}; break;
      case 2: cell.rect = Rect{x, py, px - x, y + h - py}; break;
      default: cell.rect = Rect{px, py, x + w - px, y + h - py}; break;
    }
    cell.portrait = cell.rect.height >= cell.rect.width;
    cell.anchor = 3 - k;
    if (k == corner) {
      // This quadrant holds the widget stack.
      if (cell.portrait) {
        cell.rect.height -= sh + 4 * m;
      } else {
        cell.rect.width -= sw + 4 * m;
        if (k == 2) cell.rect.x += sw + 4 * m;
      }
    }
    while (cell.rect.width >= s && cell.rect.height >= s && !Cancelled()) {
      if (!PlaceInCell(collage, cell)) break;
    }
  }
  feed_->EndCollage();
  context.reset();
  collage.Finish();
}

bool CollageGenerator::PlaceInCell(Collage& collage, Cell& cell) {
  const int m = collage.m();
  const Rect box{cell.rect.x + m, cell.rect.y + m, cell.rect.width - 2 * m,
                 cell.rect.height - 2 * m};
  const int anchor = cell.anchor;
  Rect q;
  std::unique_ptr<PhotoImage> photo = GetPhoto(
      [&box, anchor](int photo_width, int photo_height) {
        WidgetSize fitted = FitSize(photo_width, photo_height, box.width, box.height);
        Rect r{box.x, box.y, fitted.width, fitted.height};
        if (anchor == 1 || anchor == 3) r.x = box.right() - fitted.width;
        if (anchor == 2 || anchor == 3) r.y = box.bottom() - fitted.height;
        return r;
      },
      &q);
  if (!photo) return false;
  const std::string path = photo->path();
  collage.AddPhoto(q, std::move(photo), path);
  collage.photos().back().image.reset();  // decoded pixels are not kept

  if (cell.portrait) {
    cell.rect.height -= q.height + 2 * m;
    if (cell.anchor == 0 || cell.anchor == 1) cell.rect.y += q.height + 2 * m;
  } else {
    cell.rect.width -= q.width + 2 * m;
    if (cell.anchor == 0 || cell.anchor == 2) cell.rect.x += q.width + 2 * m;
  }
  return true;
}

namespace {
std::atomic<int> g_abandoned_builders{0};
}  // namespace

// Shared between the generator and its thread, so that a build that outlives
// Stop() still has everything it touches. Everything below `mutex` is read
// and written under it.
struct BackgroundCollageGenerator::State {
  int width = 0, height = 0;
  FeedPicker picker;
  std::shared_ptr<ICollageOverlays> overlays;
  std::atomic<bool> stopping{false};  // cuts a build short

  std::mutex mutex;
  std::condition_variable changed;
  bool running = true;
  ReadyCallback on_ready;
  std::unique_ptr<Collage> waiting;   // built ahead, not taken yet
  Collage* rerender_job = nullptr;    // the caller's, handed over to be drawn anew
  const Collage* rerendered = nullptr;  // done, not yet collected
  bool done = false;                  // the thread is about to end

  // Under `mutex`.
  void NotifyReady() {
    changed.notify_all();
    if (on_ready) on_ready();
  }
};

void BackgroundCollageGenerator::BuilderMain(const std::shared_ptr<State>& state) {
  const platform::ScopedSignalStack crash_stack;  // so a stack overflow here is recorded too
  SeedThreadRandom();
  std::unique_lock lock(state->mutex);
  while (state->running) {
    if (state->rerender_job != nullptr) {
      Collage* collage = state->rerender_job;
      lock.unlock();
      collage->Rerender();
      lock.lock();
      state->rerender_job = nullptr;
      state->rerendered = collage;
      state->NotifyReady();
      continue;
    }
    if (!state->waiting) {
      const int width = state->width, height = state->height;
      lock.unlock();
      IFeedImageCollection* feed = state->picker ? state->picker() : nullptr;
      CollageGenerator generator(feed, width, height, state->overlays.get(), &state->stopping);
      std::unique_ptr<Collage> collage = generator.BuildCollage();
      lock.lock();
      if (!state->running) break;  // a cancelled build is simply thrown away
      if (width != state->width || height != state->height) continue;  // resized meanwhile
      state->waiting = std::move(collage);
      state->NotifyReady();
      continue;
    }
    state->changed.wait(lock);
  }
  state->done = true;
  state->changed.notify_all();
}

BackgroundCollageGenerator::BackgroundCollageGenerator(int width, int height, FeedPicker picker,
                                                       std::shared_ptr<ICollageOverlays> overlays,
                                                       ReadyCallback on_ready)
    : state_(std::make_shared<State>()) {
  state_->width = width;
  state_->height = height;
  state_->picker = std::move(picker);
  state_->overlays = std::move(overlays);
  state_->on_ready = std::move(on_ready);
  thread_ = std::thread(&BackgroundCollageGenerator::BuilderMain, state_);
}

BackgroundCollageGenerator::~BackgroundCollageGenerator() { Stop(); }

std::unique_ptr<Collage> BackgroundCollageGenerator::BuildCollage() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [this] { return state_->waiting || !state_->running; });
  std::unique_ptr<Collage> collage = std::move(state_->waiting);
  state_->changed.notify_all();
  return collage;
}

std::unique_ptr<Collage> BackgroundCollageGenerator::TryTakeCollage() {
  std::lock_guard lock(state_->mutex);
  std::unique_ptr<Collage> collage = std::move(state_->waiting);
  if (collage) state_->changed.notify_all();  // the builder starts the next one
  return collage;
}

bool BackgroundCollageGenerator::StartRerender(Collage* collage) {
  if (collage->has_bitmap()) return true;
  std::lock_guard lock(state_->mutex);
  if (state_->rerender_job != nullptr || !state_->running) return false;
  state_->rerender_job = collage;
  state_->rerendered = nullptr;
  state_->changed.notify_all();
  return false;
}

bool BackgroundCollageGenerator::RerenderDone(const Collage* collage) {
  std::lock_guard lock(state_->mutex);
  if (state_->rerendered != collage) return false;
  state_->rerendered = nullptr;
  return true;
}

bool BackgroundCollageGenerator::rerender_running() const {
  std::lock_guard lock(state_->mutex);
  return state_->rerender_job != nullptr;
}

void BackgroundCollageGenerator::SetSize(int width, int height) {
  std::lock_guard lock(state_->mutex);
  if (width == state_->width && height == state_->height) return;
  state_->width = width;
  state_->height = height;
  state_->waiting.reset();
  state_->changed.notify_all();
}

bool BackgroundCollageGenerator::Stop(std::chrono::milliseconds bound) {
  if (stopped_) return joined_;
  stopped_ = true;
  state_->stopping.store(true);
  bool finished;
  {
    std::unique_lock lock(state_->mutex);
    state_->running = false;
    state_->on_ready = nullptr;  // the caller may be gone once we return
    state_->changed.notify_all();
    finished = state_->changed.wait_for(lock, bound, [this] { return state_->done; });
    state_->waiting.reset();
  }
  if (finished) {
    thread_.join();
    joined_ = true;
  } else {
    LogError("Collage builder still busy after %d ms; leaving it to finish",
             static_cast<int>(bound.count()));
    g_abandoned_builders.fetch_add(1);
    thread_.detach();
  }
  return joined_;
}

int BackgroundCollageGenerator::AbandonedBuilders() { return g_abandoned_builders.load(); }

Collage* CollageHistory::Current() {
  return collages_.empty() ? nullptr : collages_[current_].get();
}

int CollageHistory::CountWithBitmaps() const {
  int n = 0;
  for (const auto& collage : collages_) n += collage->has_bitmap() ? 1 : 0;
  return n;
}

void CollageHistory::Enter(std::size_t index, bool forward) {
  if (!collages_[index]->has_bitmap()) ++window_count_;
  if (window_count_ >= 3) {
    if (forward) {
      collages_[first_]->Release();
      ++first_;
    } else {
      collages_[last_]->Release();
      --last_;
    }
    --window_count_;
  }
}

bool CollageHistory::StepForwardInList() {
  if (collages_.empty() || current_ + 1 >= collages_.size()) return false;
  const bool last_followed = last_ == current_;
  ++current_;
  if (last_followed) last_ = current_;
  Enter(current_, true);
  return true;
}

void CollageHistory::MakeRoom() {
  if (collages_.size() < kMaxCollages) return;
  const bool in_window = collages_.front()->has_bitmap();
  collages_.pop_front();
  if (in_window) --window_count_;
  current_ = current_ > 0 ? current_ - 1 : 0;
  first_ = first_ > 0 ? first_ - 1 : 0;
  last_ = last_ > 0 ? last_ - 1 : 0;
}

Collage* CollageHistory::Append(std::unique_ptr<Collage> collage) {
  MakeRoom();
  const bool was_empty = collages_.empty();
  ++window_count_;
  collages_.push_back(std::move(collage));
  if (was_empty) first_ = 0;
  last_ = collages_.size() - 1;
  Enter(last_, true);
  current_ = last_;
  return Current();
}

Collage* CollageHistory::Next() {
  if (StepForwardInList()) return Current();
  std::unique_ptr<Collage> collage = generator_->BuildCollage();
  if (!collage) return Current();
  return Append(std::move(collage));
}

Collage* CollageHistory::TryNext() {
  if (StepForwardInList()) return Current();
  std::unique_ptr<Collage> collage = generator_->TryTakeCollage();
  if (!collage) return nullptr;
  return Append(std::move(collage));
}

bool CollageHistory::Previous() {
  if (collages_.empty() || current_ == 0) return false;
  const bool first_followed = first_ == current_;
  --current_;
  if (first_followed) first_ = current_;
  Enter(current_, false);
  return true;
}

}  // namespace quol::saver
