#include "screensaver/photos/photo_resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quol::saver {
namespace {

// One pixel's four channels; the compiler turns arithmetic on these into
// single vector instructions, which is what makes a proper filter about as
// cheap as Cairo's bilinear one.
typedef float Pixel4 __attribute__((vector_size(16)));

Pixel4 LoadPixel(const float* p) {
  Pixel4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void StorePixel(float* p, Pixel4 v) { std::memcpy(p, &v, sizeof v); }

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr int kAlphaByte = 3;  // ARGB32 words are B, G, R, A in memory
#else
constexpr int kAlphaByte = 0;
#endif

// Catmull-Rom: the bicubic kernel that reproduces straight ramps exactly
// and sharpens a little without visible ringing.
float CatmullRom(float x) {
  x = std::fabs(x);
  if (x < 1.0f) return (1.5f * x - 2.5f) * x * x + 1.0f;
  if (x < 2.0f) return ((-0.5f * x + 2.5f) * x - 4.0f) * x + 2.0f;
  return 0.0f;
}

unsigned char ToByte(float value, float limit) {
  value = std::clamp(value, 0.0f, limit);
  return static_cast<unsigned char>(value + 0.5f);
}

}  // namespace

PhotoResampler::Axis PhotoResampler::MakeAxis(int source_size, int target_size) {
  Axis axis;
  const double scale = static_cast<double>(source_size) / target_size;
  // Reducing widens the kernel so that it covers every source pixel.
  const double filter_scale = std::max(scale, 1.0);
  const double support = 2.0 * filter_scale;
  axis.taps = static_cast<int>(std::floor(2.0 * support)) + 2;
  axis.first.resize(static_cast<std::size_t>(target_size));
  axis.count.resize(static_cast<std::size_t>(target_size));
  axis.weights.assign(static_cast<std::size_t>(target_size) * static_cast<std::size_t>(axis.taps),
                      0.0f);
  for (int t = 0; t < target_size; ++t) {
    const double center = (t + 0.5) * scale - 0.5;
    const int low = static_cast<int>(std::ceil(center - support));
    const int high = static_cast<int>(std::floor(center + support));
    // Beyond the edges the picture is mirrored (without repeating the edge
    // pixel), which keeps the local pattern: fine detail at a photo's edge
    // stays as even as in its middle.
    auto mirrored = [source_size](int i) {
      if (source_size == 1) return 0;
      const int period = 2 * (source_size - 1);
      i %= period;
      if (i < 0) i += period;
      return i < source_size ? i : period - i;
    };
    int first = source_size - 1, last = 0;
    for (int i = low; i <= high; ++i) {
      first = std::min(first, mirrored(i));
      last = std::max(last, mirrored(i));
    }
    float* weights = &axis.weights[static_cast<std::size_t>(t) * static_cast<std::size_t>(axis.taps)];
    double total = 0;
    for (int i = low; i <= high; ++i) {
      const float w = CatmullRom(static_cast<float>((i - center) / filter_scale));
      weights[mirrored(i) - first] += w;
      total += w;
    }
    if (total != 0) {
      for (int k = 0; k <= last - first; ++k) weights[k] = static_cast<float>(weights[k] / total);
    }
    axis.first[static_cast<std::size_t>(t)] = first;
    axis.count[static_cast<std::size_t>(t)] = last - first + 1;
  }
  return axis;
}

PhotoResampler::PhotoResampler(int source_width, int source_height, cairo_surface_t* target)
    : source_width_(source_width), source_height_(source_height) {
  if (target == nullptr || cairo_surface_status(target) != CAIRO_STATUS_SUCCESS) return;
  target_width_ = cairo_image_surface_get_width(target);
  target_height_ = cairo_image_surface_get_height(target);
  if (source_width_ <= 0 || source_height_ <= 0 || target_width_ <= 0 || target_height_ <= 0) {
    return;
  }
  // The weight tables grow with the source, the filtered rows with the
  // reduction factor; photos of extreme shapes must not make either huge.
  const double scale_x = static_cast<double>(source_width_) / target_width_;
  const double scale_y = static_cast<double>(source_height_) / target_height_;
  const double taps_x = 4.0 * std::max(scale_x, 1.0) + 2;
  const double taps_y = 4.0 * std::max(scale_y, 1.0) + 2;
  const double bytes = (taps_x * target_width_ + (taps_y + 1) * target_width_ * 4.0 +
                        source_width_ * 4.0 + taps_y * target_height_) *
                       sizeof(float);
  if (bytes > static_cast<double>(kMaxDecodeBytes)) return;

  pixels_ = cairo_image_surface_get_data(target);
  stride_ = static_cast<std::size_t>(cairo_image_surface_get_stride(target));
  horizontal_ = MakeAxis(source_width_, target_width_);
  vertical_ = MakeAxis(source_height_, target_height_);
  ring_rows_ = std::min(vertical_.taps, source_height_);
  const std::size_t row_floats = static_cast<std::size_t>(target_width_) * 4;
  source_row_.resize(static_cast<std::size_t>(source_width_) * 4);
  ring_.resize(row_floats * static_cast<std::size_t>(ring_rows_));
  sum_.resize(row_floats);
  ok_ = true;
}

void PhotoResampler::AddRow(const unsigned char* row) {
  if (!ok_ || source_y_ >= source_height_) return;
  const std::size_t source_floats = source_row_.size();
  for (std::size_t i = 0; i < source_floats; ++i) source_row_[i] = row[i];

  // Rows are kept round-robin: vertical windows only move down, so the row
  // this one replaces is above every window still to come.
  float* out = &ring_[static_cast<std::size_t>(source_y_ % ring_rows_) *
                      static_cast<std::size_t>(target_width_) * 4];
  const float* in = source_row_.data();
  const int taps = horizontal_.taps;
  for (int t = 0; t < target_width_; ++t) {
    const float* weights = &horizontal_.weights[static_cast<std::size_t>(t) * taps];
    const float* pixel = in + static_cast<std::size_t>(horizontal_.first[t]) * 4;
    const int count = horizontal_.count[t];
    Pixel4 sum = {0, 0, 0, 0};
    for (int k = 0; k < count; ++k) sum += LoadPixel(pixel + k * 4) * weights[k];
    StorePixel(out + static_cast<std::size_t>(t) * 4, sum);
  }
  ++source_y_;
  while (next_target_y_ < target_height_ &&
         vertical_.first[next_target_y_] + vertical_.count[next_target_y_] <= source_y_) {
    EmitRow(next_target_y_++);
  }
}

void PhotoResampler::EmitRow(int target_y) {
  const std::size_t pixels = static_cast<std::size_t>(target_width_);
  std::fill(sum_.begin(), sum_.end(), 0.0f);
  const float* weights =
      &vertical_.weights[static_cast<std::size_t>(target_y) * static_cast<std::size_t>(vertical_.taps)];
  const int first = vertical_.first[target_y];
  for (int k = 0; k < vertical_.count[target_y]; ++k) {
    const float* row = &ring_[static_cast<std::size_t>((first + k) % ring_rows_) * pixels * 4];
    const float w = weights[k];
    for (std::size_t x = 0; x < pixels; ++x) {
      StorePixel(&sum_[x * 4], LoadPixel(&sum_[x * 4]) + LoadPixel(&row[x * 4]) * w);
    }
  }
  unsigned char* out = pixels_ + stride_ * static_cast<std::size_t>(target_y);
  for (std::size_t x = 0; x < pixels; ++x) {
    const float* s = &sum_[x * 4];
    // The filter's negative lobes can overshoot; premultiplied colour never
    // exceeds its alpha.
    const unsigned char alpha = ToByte(s[kAlphaByte], 255.0f);
    for (int c = 0; c < 4; ++c) {
      out[x * 4 + static_cast<std::size_t>(c)] = c == kAlphaByte ? alpha : ToByte(s[c], alpha);
    }
  }
}

CairoSurfacePtr ResampleSurface(cairo_surface_t* source, PixelSize size) {
  if (source == nullptr || cairo_surface_status(source) != CAIRO_STATUS_SUCCESS ||
      cairo_image_surface_get_format(source) != CAIRO_FORMAT_ARGB32) {
    return nullptr;
  }
  CairoSurfacePtr target(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size.width, size.height));
  if (cairo_surface_status(target.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  cairo_surface_flush(source);
  cairo_surface_flush(target.get());
  const int width = cairo_image_surface_get_width(source);
  const int height = cairo_image_surface_get_height(source);
  PhotoResampler resampler(width, height, target.get());
  if (!resampler.ok()) return nullptr;
  const unsigned char* data = cairo_image_surface_get_data(source);
  const std::size_t stride = static_cast<std::size_t>(cairo_image_surface_get_stride(source));
  for (int y = 0; y < height; ++y) resampler.AddRow(data + stride * static_cast<std::size_t>(y));
  if (!resampler.complete()) return nullptr;
  cairo_surface_mark_dirty(target.get());
  return target;
}

}  // namespace quol::saver
