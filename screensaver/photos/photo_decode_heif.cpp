// HEIF photos (HEIC from iPhones, AVIF from Android phones and messaging
// apps) through libheif: HEVC through libde265, AV1 through dav1d or aom.
//
// Orientation: libheif applies the file's own transformations (irot, imir,
// clap) while decoding, and reports the primary image's size as shown, so a
// HEIF photo with them reaches the collage upright. An EXIF orientation
// inside such a file is never applied on top: phones write it only as a copy
// of irot/imir for older readers. A file without irot or imir (converted by
// tools that only carry the camera's EXIF over) is turned by its EXIF
// orientation like a JPEG: landscape-stored photos only.
#include <libheif/heif.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "screensaver/photos/photo_colour.h"
#include "screensaver/photos/photo_formats.h"
#include "screensaver/photos/photo_resample.h"

namespace quol::saver::photo_formats {
namespace {

// The bytes libheif is asked for, decoded: a 48 MP 8-bit photo (3 bytes a
// pixel) fits, and so does a 10-bit one up to about 44 MP.
constexpr std::uint64_t kMaxHeifDecodedBytes = 256ull << 20;

// ftyp brands of still images and image sequences in HEVC and AV1.
constexpr char kHeifBrands[][5] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                   "hevs", "mif1", "mif2", "msf1", "avif", "avis"};

bool IsHeifBrand(const unsigned char* brand) {
  for (const char* known : kHeifBrands) {
    if (std::memcmp(brand, known, 4) == 0) return true;
  }
  return false;
}

// libheif reads through these, straight from the file or memory: only the
// boxes it needs, and the image data when it decodes.
struct ReaderState {
  ByteSource* source = nullptr;
  std::uint64_t position = 0;
};

std::int64_t GetPosition(void* userdata) {
  return static_cast<std::int64_t>(static_cast<ReaderState*>(userdata)->position);
}

int Read(void* data, std::size_t size, void* userdata) {
  auto* state = static_cast<ReaderState*>(userdata);
  if (!state->source->ReadAt(state->position, {static_cast<unsigned char*>(data), size})) return 1;
  state->position += size;
  return 0;
}

int Seek(std::int64_t position, void* userdata) {
  auto* state = static_cast<ReaderState*>(userdata);
  if (position < 0 || static_cast<std::uint64_t>(position) > state->source->size()) return 1;
  state->position = static_cast<std::uint64_t>(position);
  return 0;
}

heif_reader_grow_status WaitForFileSize(std::int64_t target_size, void* userdata) {
  auto* state = static_cast<ReaderState*>(userdata);
  return target_size >= 0 && static_cast<std::uint64_t>(target_size) <= state->source->size()
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
using HandlePtr = std::unique_ptr<heif_image_handle, HandleRelease>;

// Whether the file carries its own rotation or mirroring: an `irot` or
// `imir` property in meta/iprp/ipco. Box walks are bounded in count and
// depth; a file that cannot be walked counts as carrying them, so its EXIF
// orientation is left alone (as before any of this was read).
constexpr int kMaxBoxesWalked = 256;

struct Box {
  std::uint64_t body = 0;  // where its contents start
  std::uint64_t end = 0;   // one past its last byte
  char type[4] = {};
};

std::optional<Box> ReadBox(ByteSource& source, std::uint64_t at, std::uint64_t limit) {
  unsigned char head[16];
  if (at + 8 > limit || !source.ReadAt(at, {head, 8})) return std::nullopt;
  std::uint64_t size = (std::uint64_t{head[0]} << 24) | (std::uint64_t{head[1]} << 16) |
                       (std::uint64_t{head[2]} << 8) | head[3];
  Box box;
  std::memcpy(box.type, head + 4, 4);
  box.body = at + 8;
  if (size == 1) {
    if (at + 16 > limit || !source.ReadAt(at + 8, {head + 8, 8})) return std::nullopt;
    size = 0;
    for (int i = 8; i < 16; ++i) size = (size << 8) | head[i];
    box.body = at + 16;
  } else if (size == 0) {
    size = limit - at;
  }
  if (size < box.body - at || size > limit - at) return std::nullopt;
  box.end = at + size;
  return box;
}

// The first child of type `type` among the boxes in [from, to); nullopt when
// there is none or the walk goes wrong.
std::optional<Box> FindBox(ByteSource& source, std::uint64_t from, std::uint64_t to,
                           const char* type, bool* broken) {
  std::uint64_t at = from;
  for (int walked = 0; walked < kMaxBoxesWalked && at < to; ++walked) {
    std::optional<Box> box = ReadBox(source, at, to);
    if (!box) {
      *broken = true;
      return std::nullopt;
    }
    if (std::memcmp(box->type, type, 4) == 0) return box;
    at = box->end;
  }
  if (at < to) *broken = true;
  return std::nullopt;
}

// Reads bits most significant first, with Exp-Golomb codes; reading past
// the end sets `failed` and yields zeros.
class BitReader {
 public:
  explicit BitReader(std::span<const unsigned char> data) : data_(data) {}
  std::uint64_t Bits(int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (position_ >= data_.size() * 8) {
        failed = true;
        return 0;
      }
      const unsigned bit = (data_[position_ / 8] >> (7 - position_ % 8)) & 1u;
      value = (value << 1) | bit;
      ++position_;
    }
    return value;
  }
  // ue(v); more than 31 leading zeros is no size a photo has.
  std::uint64_t ExpGolomb() {
    int zeros = 0;
    while (Bits(1) == 0 && !failed) {
      if (++zeros > 31) {
        failed = true;
        return 0;
      }
    }
    return ((std::uint64_t{1} << zeros) - 1) + Bits(zeros);
  }
  // AV1's uvlc(): the same code with a different cap.
  std::uint64_t Uvlc() { return ExpGolomb(); }
  std::uint64_t Leb128() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      const std::uint64_t byte = Bits(8);
      value |= (byte & 0x7F) << (7 * i);
      if ((byte & 0x80) == 0) break;
    }
    return value;
  }
  bool failed = false;

 private:
  std::span<const unsigned char> data_;
  std::size_t position_ = 0;
};

// The picture size an HEVC sequence parameter set (a NAL unit, header
// included) declares.
std::optional<PixelSize> HevcSpsSize(std::span<const unsigned char> nal) {
  // Without the emulation prevention bytes (00 00 03).
  std::vector<unsigned char> rbsp;
  rbsp.reserve(std::min<std::size_t>(nal.size(), 256));
  int zeros = 0;
  for (std::size_t i = 2; i < nal.size() && rbsp.size() < 256; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    rbsp.push_back(nal[i]);
  }
  BitReader bits(rbsp);
  bits.Bits(4);  // sps_video_parameter_set_id
  const int sub_layers = static_cast<int>(bits.Bits(3));
  bits.Bits(1);
  bits.Bits(96);  // general profile, tier and level
  bool profile_present[8] = {}, level_present[8] = {};
  for (int i = 0; i < sub_layers; ++i) {
    profile_present[i] = bits.Bits(1) != 0;
    level_present[i] = bits.Bits(1) != 0;
  }
  if (sub_layers > 0) bits.Bits(2 * (8 - sub_layers));
  for (int i = 0; i < sub_layers; ++i) {
    if (profile_present[i]) bits.Bits(88);
    if (level_present[i]) bits.Bits(8);
  }
  bits.ExpGolomb();  // sps_seq_parameter_set_id
  if (bits.ExpGolomb() == 3) bits.Bits(1);  // chroma 4:4:4: separate_colour_plane_flag
  const std::uint64_t width = bits.ExpGolomb();
  const std::uint64_t height = bits.ExpGolomb();
  if (bits.failed || width > std::uint64_t{1} << 30 || height > std::uint64_t{1} << 30) {
    return std::nullopt;
  }
  return PixelSize{static_cast<int>(width), static_cast<int>(height)};
}

// The largest picture the SPS units of an hvcC property declare; nullopt
// when it holds none or cannot be read.
std::optional<PixelSize> HvccCodedSize(std::span<const unsigned char> hvcc) {
  if (hvcc.size() < 23) return std::nullopt;
  std::size_t at = 23;
  std::optional<PixelSize> largest;
  for (int array = 0, arrays = hvcc[22]; array < arrays; ++array) {
    if (at + 3 > hvcc.size()) return std::nullopt;
    const int type = hvcc[at] & 0x3F;
    const int units = (hvcc[at + 1] << 8) | hvcc[at + 2];
    at += 3;
    for (int unit = 0; unit < units; ++unit) {
      if (at + 2 > hvcc.size()) return std::nullopt;
      const std::size_t length = (std::size_t{hvcc[at]} << 8) | hvcc[at + 1];
      at += 2;
      if (at + length > hvcc.size()) return std::nullopt;
      if (type == 33) {  // SPS
        std::optional<PixelSize> size = HevcSpsSize(hvcc.subspan(at, length));
        if (!size) return std::nullopt;
        if (!largest || std::uint64_t(size->width) * size->height >
                            std::uint64_t(largest->width) * largest->height) {
          largest = size;
        }
      }
      at += length;
    }
  }
  return largest;
}

// The frame size the first AV1 sequence header among `obus` declares (at
// most four OBUs looked at, each with its size field); nullopt when there is
// none or it cannot be read.
std::optional<PixelSize> Av1SequenceHeaderSize(std::span<const unsigned char> obus) {
  for (int obu = 0; obu < 4 && obus.size() >= 2; ++obu) {
    BitReader header(obus);
    header.Bits(1);
    const int type = static_cast<int>(header.Bits(4));
    const bool extension = header.Bits(1) != 0;
    const bool has_size = header.Bits(1) != 0;
    header.Bits(1);
    if (extension) header.Bits(8);
    const std::size_t header_bytes = extension ? 2 : 1;
    if (type == 1) break;
    if (!has_size) return std::nullopt;
    // The size field: LEB128 after the header bytes.
    std::uint64_t size = 0;
    std::size_t at = header_bytes;
    for (int i = 0; i < 8 && at < obus.size(); ++i, ++at) {
      size |= std::uint64_t(obus[at] & 0x7F) << (7 * i);
      if ((obus[at] & 0x80) == 0) {
        ++at;
        break;
      }
    }
    if (header.failed || size > obus.size() - std::min(at, obus.size())) return std::nullopt;
    obus = obus.subspan(at + static_cast<std::size_t>(size));
  }
  if (obus.size() < 2) return std::nullopt;
  BitReader bits(obus);
  bits.Bits(1);
  const int type = static_cast<int>(bits.Bits(4));
  const bool extension = bits.Bits(1) != 0;
  const bool has_size = bits.Bits(1) != 0;
  bits.Bits(1);
  if (type != 1) return std::nullopt;  // not a sequence header
  if (extension) bits.Bits(8);
  if (has_size) bits.Leb128();
  bits.Bits(3);  // seq_profile
  bits.Bits(1);  // still_picture
  if (bits.Bits(1) != 0) {  // reduced_still_picture_header
    bits.Bits(5);
  } else {
    bool decoder_model_info = false;
    int buffer_delay_length = 0;
    if (bits.Bits(1) != 0) {  // timing_info_present_flag
      bits.Bits(32);
      bits.Bits(32);
      if (bits.Bits(1) != 0) bits.Uvlc();
      decoder_model_info = bits.Bits(1) != 0;
      if (decoder_model_info) {
        buffer_delay_length = static_cast<int>(bits.Bits(5)) + 1;
        bits.Bits(32);
        bits.Bits(10);
      }
    }
    const bool initial_display_delay = bits.Bits(1) != 0;
    const int operating_points = static_cast<int>(bits.Bits(5)) + 1;
    for (int i = 0; i < operating_points && !bits.failed; ++i) {
      bits.Bits(12);
      if (bits.Bits(5) > 7) bits.Bits(1);
      if (decoder_model_info && bits.Bits(1) != 0) {
        bits.Bits(2 * buffer_delay_length);
        bits.Bits(1);
      }
      if (initial_display_delay && bits.Bits(1) != 0) bits.Bits(4);
    }
  }
  const int width_bits = static_cast<int>(bits.Bits(4)) + 1;
  const int height_bits = static_cast<int>(bits.Bits(4)) + 1;
  const std::uint64_t width = bits.Bits(width_bits) + 1;
  const std::uint64_t height = bits.Bits(height_bits) + 1;
  if (bits.failed) return std::nullopt;
  return PixelSize{static_cast<int>(width), static_cast<int>(height)};
}

std::optional<PixelSize> Av1cCodedSize(std::span<const unsigned char> av1c) {
  if (av1c.size() <= 4) return std::nullopt;  // no configOBUs
  return Av1SequenceHeaderSize(av1c.subspan(4));
}

constexpr std::uint64_t kMaxPropertyBytes = 64 * 1024;

// The first bytes of every item stored in the file (construction method 0)
// after the iloc box: where AV1 items keep their sequence header when the
// av1C property carries none. At most kMaxBoxesWalked items.
std::vector<std::uint64_t> ItemStarts(ByteSource& source, const Box& iloc) {
  std::vector<std::uint64_t> starts;
  const std::uint64_t length = iloc.end - iloc.body;
  if (length > kMaxPropertyBytes * 16) return starts;
  std::vector<unsigned char> data(static_cast<std::size_t>(length));
  if (!source.ReadAt(iloc.body, data)) return starts;
  BitReader bits(data);
  const int version = static_cast<int>(bits.Bits(8));
  bits.Bits(24);  // flags
  const int offset_size = static_cast<int>(bits.Bits(4));
  const int length_size = static_cast<int>(bits.Bits(4));
  const int base_offset_size = static_cast<int>(bits.Bits(4));
  if (version > 2) return starts;
  // index_size in versions 1 and 2, reserved in 0.
  const int index_size = static_cast<int>(bits.Bits(4));
  const std::uint64_t items = bits.Bits(version < 2 ? 16 : 32);
  for (std::uint64_t item = 0; item < items && item < kMaxBoxesWalked && !bits.failed; ++item) {
    bits.Bits(version < 2 ? 16 : 32);  // item_ID
    int construction = 0;
    if (version >= 1) {
      bits.Bits(12);
      construction = static_cast<int>(bits.Bits(4));
    }
    bits.Bits(16);  // data_reference_index
    const std::uint64_t base = bits.Bits(8 * base_offset_size);
    const std::uint64_t extents = bits.Bits(16);
    for (std::uint64_t extent = 0; extent < extents && !bits.failed; ++extent) {
      if (extent >= kMaxBoxesWalked) return starts;
      if (version >= 1) bits.Bits(8 * index_size);
      const std::uint64_t offset = bits.Bits(8 * offset_size);
      bits.Bits(8 * length_size);
      if (extent == 0 && construction == 0 && !bits.failed) starts.push_back(base + offset);
    }
  }
  return starts;
}

// What the property boxes (meta/iprp/ipco) say before anything is decoded.
struct HeifProperties {
  // An irot or imir: the file carries its own rotation or mirroring. Also
  // set when the boxes cannot be walked, so EXIF is then left alone.
  bool own_orientation = false;
  // The largest coded picture any hvcC or av1C declares (0 x 0 when none
  // can be read): the container's ispe can claim a small size while the
  // stream inside makes the decoder allocate its own.
  PixelSize largest_stream;
};

std::uint64_t Pixels(PixelSize size) {
  return std::uint64_t(size.width) * std::uint64_t(size.height);
}

// Widens `largest` to hold `size` in both directions.
void Grow(PixelSize* largest, PixelSize size) {
  largest->width = std::max(largest->width, size.width);
  largest->height = std::max(largest->height, size.height);
}

HeifProperties ReadProperties(ByteSource& source) {
  HeifProperties properties;
  properties.own_orientation = true;
  bool broken = false;
  std::optional<Box> meta = FindBox(source, 0, source.size(), "meta", &broken);
  if (!meta) return properties;
  // meta is a full box: version and flags come first.
  std::optional<Box> iprp = FindBox(source, meta->body + 4, meta->end, "iprp", &broken);
  if (!iprp) return properties;
  std::optional<Box> ipco = FindBox(source, iprp->body, iprp->end, "ipco", &broken);
  if (!ipco) return properties;
  bool orientation = false;
  bool saw_av1 = false;
  std::uint64_t at = ipco->body;
  for (int walked = 0; walked < kMaxBoxesWalked && at < ipco->end; ++walked) {
    std::optional<Box> box = ReadBox(source, at, ipco->end);
    if (!box) return properties;
    if (std::memcmp(box->type, "irot", 4) == 0 || std::memcmp(box->type, "imir", 4) == 0) {
      orientation = true;
    }
    const bool hvcc = std::memcmp(box->type, "hvcC", 4) == 0;
    const bool av1c = std::memcmp(box->type, "av1C", 4) == 0;
    saw_av1 = saw_av1 || av1c;
    if ((hvcc || av1c) && box->end - box->body <= kMaxPropertyBytes) {
      std::vector<unsigned char> body(static_cast<std::size_t>(box->end - box->body));
      std::optional<PixelSize> coded;
      if (source.ReadAt(box->body, body)) coded = hvcc ? HvccCodedSize(body) : Av1cCodedSize(body);
      if (coded) Grow(&properties.largest_stream, *coded);
    }
    at = box->end;
  }
  properties.own_orientation = orientation || at < ipco->end || broken;
  // AV1 streams whose av1C carries no sequence header (what libavif
  // writes): read it from the start of each item's data.
  if (saw_av1) {
    std::optional<Box> iloc = FindBox(source, meta->body + 4, meta->end, "iloc", &broken);
    if (iloc) {
      for (std::uint64_t start : ItemStarts(source, *iloc)) {
        unsigned char head[64];
        const std::size_t size = static_cast<std::size_t>(
            std::min<std::uint64_t>(sizeof head, source.size() - std::min(start, source.size())));
        if (size < 2 || !source.ReadAt(start, {head, size})) continue;
        std::optional<PixelSize> coded = Av1SequenceHeaderSize({head, size});
        if (coded) Grow(&properties.largest_stream, *coded);
      }
    }
  }
  return properties;
}

// The EXIF orientation of the primary image (0 when there is none).
constexpr std::size_t kMaxHeifExifBytes = 1 << 20;

int ExifOrientationOfImage(const heif_image_handle* handle) {
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) return 0;
  const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
  if (size == 0 || size > kMaxHeifExifBytes) return 0;
  std::vector<unsigned char> exif(size);
  if (heif_image_handle_get_metadata(handle, id, exif.data()).code != heif_error_Ok) return 0;
  return ExifOrientationOf(exif);
}

// A HEIF file opened on its primary image, within the limits. The reader
// state lives here because the context reads through it until it is freed.
class HeifFile {
 public:
  explicit HeifFile(ByteSource& source) {
    state_.source = &source;
    reader_.reader_api_version = 1;
    reader_.get_position = GetPosition;
    reader_.read = Read;
    reader_.seek = Seek;
    reader_.wait_for_file_size = WaitForFileSize;
    if (source.size() == 0 || source.size() > kMaxHeifFileBytes) return;
    context_.reset(heif_context_alloc());
    if (!context_) return;
    // Checked by libheif against every image's size as it reads the boxes,
    // so absurd sizes are refused before anything is allocated for them.
    heif_context_set_maximum_image_size_limit(context_.get(), kMaxHeifSide);
    if (heif_context_read_from_reader(context_.get(), &reader_, &state_, nullptr).code !=
        heif_error_Ok) {
      return;
    }
    heif_image_handle* primary = nullptr;
    if (heif_context_get_primary_image_handle(context_.get(), &primary).code != heif_error_Ok) {
      return;
    }
    primary_.reset(primary);
    // The size as shown: libheif applies irot and imir (and clap) to it.
    const int width = heif_image_handle_get_width(primary);
    const int height = heif_image_handle_get_height(primary);
    if (width <= kMinPhotoSide || height <= kMinPhotoSide || width > kMaxHeifSide ||
        height > kMaxHeifSide ||
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxHeifPixels) {
      primary_.reset();
      return;
    }
    size_ = PixelSize{width, height};
    // A stream may be coded a little larger than the image (whole coding
    // blocks, cropped when shown), and alpha and depth planes come as images
    // of their own; a stream far beyond the image it belongs to, or beyond
    // what any photo may be, is a file built to exhaust memory.
    const HeifProperties properties = ReadProperties(source);
    const PixelSize coded = properties.largest_stream;
    if (coded.width > kMaxHeifSide || coded.height > kMaxHeifSide ||
        Pixels(coded) > kMaxHeifPixels ||
        Pixels(coded) > 4 * Pixels(PixelSize{width, height}) + (1u << 20)) {
      primary_.reset();
      return;
    }
    // Like JPEG: only landscape-stored photos are turned by EXIF.
    if (width > height && !properties.own_orientation) {
      rotate_flip_ = RotateFlipForOrientation(ExifOrientationOfImage(primary));
    }
  }
  HeifFile(const HeifFile&) = delete;
  HeifFile& operator=(const HeifFile&) = delete;

  bool ok() const { return primary_ != nullptr; }
  // As stored when rotate_flip() is not 0, else as shown.
  PixelSize size() const { return size_; }
  // The EXIF orientation's rotate-flip code of a file without irot/imir.
  int rotate_flip() const { return rotate_flip_; }
  heif_image_handle* primary() const { return primary_.get(); }

  // The smallest thumbnail that covers `target` in the primary image's
  // shape, or nullptr: phones embed one (a few hundred pixels), and a place
  // it covers costs a fraction of the full decode.
  HandlePtr ThumbnailCovering(PixelSize target) const {
    const int count = heif_image_handle_get_number_of_thumbnails(primary_.get());
    if (count <= 0 || count > 16) return nullptr;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    const int listed =
        heif_image_handle_get_list_of_thumbnail_IDs(primary_.get(), ids.data(), count);
    HandlePtr best;
    std::uint64_t best_pixels = 0;
    for (int i = 0; i < listed && i < count; ++i) {
      heif_image_handle* thumbnail = nullptr;
      if (heif_image_handle_get_thumbnail(primary_.get(), ids[static_cast<std::size_t>(i)],
                                          &thumbnail)
              .code != heif_error_Ok) {
        continue;
      }
      HandlePtr candidate(thumbnail);
      const int w = heif_image_handle_get_width(thumbnail);
      const int h = heif_image_handle_get_height(thumbnail);
      // Same shape (within a pixel's rounding), covering the place.
      const bool same_shape =
          std::abs(static_cast<std::int64_t>(w) * size_.height -
                   static_cast<std::int64_t>(h) * size_.width) <=
          std::max<std::int64_t>(size_.width, size_.height);
      const std::uint64_t pixels = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
      if (w >= target.width && h >= target.height && same_shape && w < size_.width &&
          (!best || pixels < best_pixels)) {
        best = std::move(candidate);
        best_pixels = pixels;
      }
    }
    return best;
  }

 private:
  ReaderState state_;
  heif_reader reader_{};
  std::unique_ptr<heif_context, ContextFree> context_;
  HandlePtr primary_;
  PixelSize size_;
  int rotate_flip_ = 0;
};

// The colour space the photo's values are in: an ICC profile (prof or
// rICC), else Display P3 when the nclx box names its primaries.
PhotoColourSpace ColourSpaceOf(const heif_image_handle* handle) {
  PhotoColourSpace space;
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
    const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
    if (size > 0 && size <= (4u << 20)) {
      space.icc.resize(size);
      if (heif_image_handle_get_raw_color_profile(handle, space.icc.data()).code != heif_error_Ok) {
        space.icc.clear();
      }
    }
  }
  heif_color_profile_nclx* nclx = nullptr;
  if (space.icc.empty() &&
      heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok &&
      nclx != nullptr) {
    // Any primaries but sRGB's (BT.709, or none said) are converted, from
    // the chromaticities libheif decodes for them, with the sRGB curve. PQ
    // and HLG (HDR) pixels are left as decoded: no tone mapping here.
    const bool srgb_primaries = nclx->color_primaries == heif_color_primaries_ITU_R_BT_709_5 ||
                                nclx->color_primaries == heif_color_primaries_unspecified;
    const bool hdr =
        nclx->transfer_characteristics == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ ||
        nclx->transfer_characteristics == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG;
    RgbPrimaries primaries{nclx->color_primary_red_x,   nclx->color_primary_red_y,
                           nclx->color_primary_green_x, nclx->color_primary_green_y,
                           nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                           nclx->color_primary_white_x, nclx->color_primary_white_y};
    if (!srgb_primaries && !hdr && primaries.Valid() && !primaries.IsSrgb()) {
      space.primaries = primaries;
    }
  }
  if (nclx != nullptr) heif_nclx_color_profile_free(nclx);
  return space;
}

}  // namespace

bool LooksLikeHeif(std::span<const unsigned char> start) {
  if (start.size() < 12 || std::memcmp(start.data() + 4, "ftyp", 4) != 0) return false;
  if (IsHeifBrand(start.data() + 8)) return true;
  // Compatible brands follow the major brand and its minor version.
  const std::uint32_t box = (static_cast<std::uint32_t>(start[0]) << 24) |
                            (static_cast<std::uint32_t>(start[1]) << 16) |
                            (static_cast<std::uint32_t>(start[2]) << 8) | start[3];
  const std::size_t end = std::min<std::size_t>({box, start.size(), 64});
  for (std::size_t at = 16; at + 4 <= end; at += 4) {
    if (IsHeifBrand(start.data() + at)) return true;
  }
  return false;
}

std::optional<PhotoHeader> ReadHeifHeader(ByteSource& source) {
  HeifFile file(source);
  if (!file.ok()) return std::nullopt;
  PhotoHeader header;
  header.stored = file.size();  // as shown unless EXIF turns it: see the top of this file
  header.rotate_flip = file.rotate_flip();
  return header;
}

DecodedPhoto DecodeHeif(ByteSource& source, const DecodeTarget& wanted, HeifCopy* copy) {
  DecodedPhoto result;
  HeifFile file(source);
  if (!file.ok()) return result;
  const int rotate_flip = file.rotate_flip();
  const std::optional<PixelSize> target =
      wanted.StoredSize(file.size().width, file.size().height, rotate_flip);
  if (!target) return result;

  HandlePtr thumbnail = file.ThumbnailCovering(*target);
  const heif_image_handle* handle = thumbnail ? thumbnail.get() : file.primary();
  const int width = heif_image_handle_get_width(handle);
  const int height = heif_image_handle_get_height(handle);
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  const bool high_bit = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
  const int channels = alpha ? 4 : 3;
  const int sample_bytes = high_bit ? 2 : 1;
  if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * channels *
          sample_bytes >
      kMaxHeifDecodedBytes) {
    return result;
  }
  const heif_chroma chroma =
      high_bit ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
               : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);

  std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
  if (!options) return result;
  options->ignore_transformations = 0;  // irot, imir and clap applied
  options->convert_hdr_to_8bit = 0;     // reduced here, with a dither
  heif_image* decoded_raw = nullptr;
  if (heif_decode_image(handle, &decoded_raw, heif_colorspace_RGB, chroma, options.get()).code !=
      heif_error_Ok) {
    if (decoded_raw != nullptr) heif_image_release(decoded_raw);
    return result;
  }
  std::unique_ptr<heif_image, ImageRelease> decoded(decoded_raw);
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
  const int bits = heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved);
  if (plane == nullptr || heif_image_get_width(decoded.get(), heif_channel_interleaved) != width ||
      heif_image_get_height(decoded.get(), heif_channel_interleaved) != height ||
      stride < width * channels * sample_bytes || (high_bit && (bits <= 8 || bits > 16))) {
    return result;
  }

  // A copy for the cache is made from the full image of an opaque photo
  // only (JPEG keeps no alpha, and a thumbnail has too few pixels), and only
  // when it covers the place: the place is then resampled from the copy,
  // a second step over far fewer pixels than the first.
  const bool make_copy = copy != nullptr && !thumbnail && !alpha && rotate_flip == 0 &&
                         copy->size.width <= width && copy->size.height <= height &&
                         copy->size.width >= target->width &&
                         copy->size.height >= target->height &&
                         FitsBitmap(copy->size.width, copy->size.height, kMaxBitmapBytes);
  const PixelSize first = make_copy ? copy->size : *target;
  CairoSurfacePtr surface = NewSurface(first.width, first.height);
  if (!surface) return result;
  cairo_surface_flush(surface.get());
  {
    PhotoResampler resampler(width, height, surface.get());
    if (!resampler.ok()) return result;
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 4);
    for (int y = 0; y < height; ++y) {
      const unsigned char* samples = plane + static_cast<std::size_t>(stride) * y;
      if (high_bit) {
        HighBitRowToArgb(samples, width, channels, bits, y, row.data());
      } else {
        RgbRowToArgb(samples, width, channels, row.data());
      }
      resampler.AddRow(row.data());
    }
    if (!resampler.complete()) return result;
  }
  decoded.reset();
  cairo_surface_mark_dirty(surface.get());
  // After the reduction: the conversion costs the place's pixels, not the
  // photo's. A profile that cannot be used leaves the colours as stored.
  PhotoColourSpace space = ColourSpaceOf(handle);
  if (space.IsSrgb() && thumbnail) space = ColourSpaceOf(file.primary());
  ConvertToSrgb(surface.get(), space);
  if (make_copy) {
    if (first == *target) {
      result.surface.reset(cairo_surface_reference(surface.get()));
    } else {
      result.surface = ResampleSurface(surface.get(), *target);
      if (!result.surface) return result;
    }
    copy->surface = std::move(surface);
    return result;
  }
  if (rotate_flip != 0) {
    surface = ApplyRotateFlip(surface.get(), rotate_flip);
    if (!surface) return result;
    result.rotate_flip = rotate_flip;
  }
  result.surface = std::move(surface);
  return result;
}

}  // namespace quol::saver::photo_formats
