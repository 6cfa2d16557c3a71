// The photo cache: reduced, upright, sRGB copies of HEIF photos (HEIC, HEIF,
// AVIF) kept as baseline JPEG files. HEVC and AV1 cannot be decoded at a
// reduced scale, so a 12 MP phone photo costs a second and more to decode
// whatever its place; family photo folders hardly change and a deck deals
// every photo again later, so the second time a photo is shown it is decoded
// from its copy like any JPEG, at the DCT scale its place allows.
//
// A copy is only ever a speed-up: whatever goes wrong with the folder or a
// file in it, the photo is decoded from the original instead.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "screensaver/photos/photo_decode.h"
#include "screensaver/photos/photo_formats.h"

namespace quol::saver {

// A copy fits within this many pixels on its longer side, unless a place
// asks for more.
inline constexpr int kPhotoCopySide = 2560;
// A file in the folder larger than this is not a copy this code wrote.
inline constexpr std::uint64_t kMaxPhotoCopyBytes = 16ull << 20;
// The folder's total, kept by deleting the least recently used copies.
inline constexpr std::uint64_t kDefaultPhotoCacheBytes = 512ull << 20;
// The entries one prune looks at, however many the folder holds.
inline constexpr int kMaxPruneEntries = 4096;

// The cache folder as things stand now: $QUOL_PHOTO_CACHE_DIR when set (an
// empty value turns the cache off), else ${XDG_CACHE_HOME:-~/.cache}/Quol/photos.
// nullopt when the cache is off: for root (its home is not the family's)
// and when there is no home to put it in. Nothing is created here.
std::optional<std::string> PhotoCacheFolder();

// The bound on the folder's total size (default kDefaultPhotoCacheBytes);
// for the tests, which fill it with a few small copies.
void SetPhotoCacheLimit(std::uint64_t bytes);

// Where the copy of the photo at `path` is, or would be, kept: the folder
// and the file's key; nullopt when the cache is off or the photo cannot be
// looked at.
std::optional<std::string> PhotoCopyPath(const std::string& path);

namespace photo_cache {

// The key of a photo: a hash of its real path, size, modification time (in
// nanoseconds), inode and device, as 32 hex digits. A photo that is
// changed, replaced or moved gets another key.
std::string KeyOf(const std::string& real_path, const struct stat& info);

// The size a copy of a photo of `photo` pixels (as shown) is made at for a
// decode to `wanted`: within kPhotoCopySide on its longer side, or the
// smallest size of the photo's shape that covers `wanted` when that is
// larger; never larger than the photo.
PixelSize CopySize(PixelSize photo, PixelSize wanted);

// A copy of `copy` pixels is one CopySize makes of a `photo` photo: of its
// shape, no larger, and no smaller than kPhotoCopySide allows.
bool IsCopyOf(PixelSize copy, PixelSize photo);

// The copy can be decoded to `wanted` without showing fewer pixels than the
// place has: it covers it, or it is the photo at its full size.
bool CopyCovers(PixelSize copy, PixelSize photo, PixelSize wanted);

}  // namespace photo_cache

namespace photo_formats {

// A HEIF photo file opened at `path` decoded through the cache: from its
// copy when one covers the place, else from the file (making or enlarging
// the copy along the way).
DecodedPhoto DecodeHeifFile(const std::string& path, std::FILE* file, const DecodeTarget& wanted);

}  // namespace photo_formats

}  // namespace quol::saver
