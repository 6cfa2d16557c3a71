// Resampling a photo to the exact size it is shown at, in one step and with
// a bicubic (Catmull-Rom) filter that is widened by the reduction factor, so
// that every source pixel contributes and fine detail stays crisp without
// aliasing. Cairo's own filters are no substitute: its bilinear filter skips
// source pixels when reducing by more than half, and its "good" filter is a
// box filter that blurs.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "screensaver/photos/photo_decode.h"

namespace quol::saver {

// Streams source rows of four 8-bit channels (premultiplied, in the byte
// order of the target's ARGB32 pixels) into a Cairo ARGB32 surface of any
// size. Only as many filtered rows as the vertical filter spans are held, so
// a photo can be fed straight from its decoder.
class PhotoResampler {
 public:
  PhotoResampler(int source_width, int source_height, cairo_surface_t* target);
  PhotoResampler(const PhotoResampler&) = delete;
  PhotoResampler& operator=(const PhotoResampler&) = delete;

  // False when the sizes are unusable or the working rows would exceed the
  // decode limit; nothing is written then.
  bool ok() const { return ok_; }
  // The next source row: source_width pixels of 4 bytes.
  void AddRow(const unsigned char* row);
  // Every source row has arrived (and so every target row is written).
  bool complete() const { return ok_ && source_y_ == source_height_; }

 private:
  // For each target index: the first source index and its weights.
  struct Axis {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weights;  // `taps` per target index
    int taps = 0;
  };
  static Axis MakeAxis(int source_size, int target_size);
  void EmitRow(int target_y);

  int source_width_, source_height_;
  int target_width_ = 0, target_height_ = 0;
  unsigned char* pixels_ = nullptr;
  std::size_t stride_ = 0;
  Axis horizontal_, vertical_;
  std::vector<float> source_row_;  // one source row as floats
  std::vector<float> ring_;        // horizontally filtered rows, `ring_rows_` of them
  std::vector<float> sum_;         // one target row being summed
  int ring_rows_ = 0;
  int source_y_ = 0;
  int next_target_y_ = 0;
  bool ok_ = false;
};

// `source` (ARGB32) resampled to exactly `size`; nullptr when it cannot be.
CairoSurfacePtr ResampleSurface(cairo_surface_t* source, PixelSize size);

}  // namespace quol::saver
