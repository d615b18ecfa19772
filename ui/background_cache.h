#pragma once
// The background resampled for one client size, kept on disk between runs:
// a start at the same size then needs neither the decode nor the resample,
// which together cost the first frame about 200 ms under Wine. The file is
// only a copy; anything wrong with it means it is not used.

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// What the cached copy was made from: the picture file's size and a hash of its bytes.
struct PictureIdentity {
    std::uint64_t size = 0;
    std::uint64_t hash = 0;
};

PictureIdentity pictureIdentity(const void* bytes, std::size_t size);

// "%LOCALAPPDATA%\Tinderhallow\launcher_background.cache"; empty when the
// folder is unknown.
std::filesystem::path backgroundCachePath();

// The pixels of an opaque 32-bit RGB bitmap, row after row (width × 4 bytes each).
[[nodiscard]] bool bitmapPixels(Gdiplus::Bitmap& bitmap, std::vector<std::uint8_t>& pixels);

// The copy cached at `path` when it was made from this picture for exactly
// width × height and is whole; null otherwise (missing, another picture or
// size, another format, truncated or damaged).
std::unique_ptr<Gdiplus::Bitmap> readCachedBackground(const std::filesystem::path& path, const PictureIdentity& picture,
                                                      int width, int height);

// Replaces the cache file with these pixels (bitmapPixels' layout) through
// a temporary file beside it, so a reader never sees half a file.
[[nodiscard]] bool writeCachedBackground(const std::filesystem::path& path, const PictureIdentity& picture, int width,
                                         int height, const std::vector<std::uint8_t>& pixels,
                                         std::string* error = nullptr);
