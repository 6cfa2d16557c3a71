#include "screensaver/common/png_writer.h"

#include <png.h>

#include <cstdio>
#include <vector>

#include "platform/fs/files.h"

namespace quol::saver {
namespace {

struct Sink {
  std::string bytes;
};

void Append(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
  sink->bytes.append(reinterpret_cast<const char*>(data), length);
}

void Flush(png_structp) {}

// libpng reports errors by longjmp; this function holds no C++ objects with
// destructors between setjmp and the calls that may jump.
bool Encode(png_structp png, png_infop info, Sink* sink, int width, int height, int level,
            png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, &Append, &Flush);
  png_set_compression_level(png, level);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

HRESULT WritePng(cairo_surface_t* surface, const std::string& path, int level) {
  if (surface == nullptr || cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) {
    return E_INVALIDARG;
  }
  cairo_surface_flush(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);

  // Cairo keeps premultiplied native-endian ARGB; PNG wants straight RGBA.
  std::vector<unsigned char> rgba(static_cast<std::size_t>(width) * height * 4);
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    const auto* in = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
    unsigned char* out = rgba.data() + static_cast<std::size_t>(y) * width * 4;
    rows[static_cast<std::size_t>(y)] = out;
    for (int x = 0; x < width; ++x) {
      const std::uint32_t p = in[x];
      const unsigned a = p >> 24;
      unsigned r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
      if (a != 0 && a != 255) {
        r = (r * 255 + a / 2) / a;
        g = (g * 255 + a / 2) / a;
        b = (b * 255 + a / 2) / a;
      }
      out[4 * x] = static_cast<unsigned char>(r);
      out[4 * x + 1] = static_cast<unsigned char>(g);
      out[4 * x + 2] = static_cast<unsigned char>(b);
      out[4 * x + 3] = static_cast<unsigned char>(a);
    }
  }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return E_OUTOFMEMORY;
  png_infop info = png_create_info_struct(png);
  Sink sink;
  const bool ok = info != nullptr && Encode(png, info, &sink, width, height, level, rows.data());
  png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  if (!ok) return E_FAIL;
  return platform::WriteFileAtomically(path, sink.bytes);
}

}  // namespace quol::saver
