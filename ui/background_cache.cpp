#include "ui/background_cache.h"

#include "base/fail.h"
#include "base/handles.h"
#include "base/whole_file.h"
#include "base/windows_error.h"
#include "startup/install_location.h"

#include <shlobj.h>

#include <cstring>
#include <system_error>

namespace {

constexpr char kMagic[8] = {'T', 'H', 'B', 'G', 'C', 'A', 'C', 'H'};
constexpr std::uint32_t kFormatVersion = 1;
// Far above any client area; keeps a forged size from asking for gigabytes.
constexpr int kLargestSide = 16384;

struct CacheHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t pixelFormat;
    std::uint64_t pictureSize;
    std::uint64_t pictureHash;
    std::uint64_t pixelHash;
};
static_assert(sizeof(CacheHeader) == 48);

// Not a guard against forgery (whoever can write the file can write the
// launcher's folder too): it tells a damaged copy from a whole one.
std::uint64_t hashBytes(std::uint64_t hash, const std::uint8_t* bytes, std::size_t size) {
    auto mix = [](std::uint64_t h, std::uint64_t word) {
        h ^= word * 0x9E3779B97F4A7C15ull;
        h = (h << 29) | (h >> 35);
        return h * 0xBF58476D1CE4E5B9ull;
    };
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        hash = mix(hash, word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes + i, size - i);
    hash = mix(hash, tail ^ (static_cast<std::uint64_t>(size - i) << 56));
    return hash ^ (hash >> 31);
}

std::uint64_t hashRows(const std::uint8_t* rows, std::size_t rowBytes, std::size_t stride, int height) {
    std::uint64_t hash = 0x5442'4743'4143'4845ull;
    for (int y = 0; y < height; ++y) hash = hashBytes(hash, rows + static_cast<std::size_t>(y) * stride, rowBytes);
    return hash;
}

bool readExactly(HANDLE file, void* buffer, std::size_t size) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, out, chunk, &got, nullptr) || got == 0) return false;
        out += got;
        size -= got;
    }
    return true;
}

}  // namespace

PictureIdentity pictureIdentity(const void* bytes, std::size_t size) {
    return {size, hashBytes(0x5049'4354'5552'4531ull, static_cast<const std::uint8_t*>(bytes), size)};
}

std::filesystem::path backgroundCachePath() {
    const std::filesystem::path localAppData = knownFolderPath(FOLDERID_LocalAppData);
    if (localAppData.empty()) return {};
    return localAppData / L"Tinderhallow" / L"launcher_background.cache";
}

bool bitmapPixels(Gdiplus::Bitmap& bitmap, std::vector<std::uint8_t>& pixels) {
    const int width = static_cast<int>(bitmap.GetWidth());
    const int height = static_cast<int>(bitmap.GetHeight());
    if (width <= 0 || height <= 0) return false;
    Gdiplus::Rect all(0, 0, width, height);
    Gdiplus::BitmapData data{};
    if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppRGB, &data) != Gdiplus::Ok) return false;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    pixels.resize(rowBytes * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        std::memcpy(pixels.data() + rowBytes * static_cast<std::size_t>(y),
                    static_cast<const std::uint8_t*>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride,
                    rowBytes);
    }
    bitmap.UnlockBits(&data);
    return true;
}

std::unique_ptr<Gdiplus::Bitmap> readCachedBackground(const std::filesystem::path& path, const PictureIdentity& picture,
                                                      int width, int height) {
    if (path.empty() || width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide) return nullptr;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return nullptr;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    const std::size_t pixelBytes = rowBytes * static_cast<std::size_t>(height);
    LARGE_INTEGER size{};
    // Exactly one header and the pixels of the wanted size: nothing is read past what was allocated.
    if (!GetFileSizeEx(file.get(), &size) ||
        static_cast<std::uint64_t>(size.QuadPart) != sizeof(CacheHeader) + pixelBytes)
        return nullptr;
    CacheHeader header{};
    if (!readExactly(file.get(), &header, sizeof header)) return nullptr;
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || header.version != kFormatVersion ||
        header.width != static_cast<std::uint32_t>(width) || header.height != static_cast<std::uint32_t>(height) ||
        header.pixelFormat != PixelFormat32bppRGB || header.pictureSize != picture.size ||
        header.pictureHash != picture.hash)
        return nullptr;

    auto bitmap = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppRGB);
    if (bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
    Gdiplus::Rect all(0, 0, width, height);
    Gdiplus::BitmapData data{};
    if (bitmap->LockBits(&all, Gdiplus::ImageLockModeWrite, PixelFormat32bppRGB, &data) != Gdiplus::Ok) return nullptr;
    auto* scan0 = static_cast<std::uint8_t*>(data.Scan0);
    bool whole = true;
    std::uint64_t hash = 0;
    if (data.Stride == static_cast<INT>(rowBytes)) {
        whole = readExactly(file.get(), scan0, pixelBytes);
        if (whole) hash = hashRows(scan0, rowBytes, rowBytes, height);
    } else {
        std::vector<std::uint8_t> pixels(pixelBytes);
        whole = readExactly(file.get(), pixels.data(), pixelBytes);
        if (whole) {
            hash = hashRows(pixels.data(), rowBytes, rowBytes, height);
            for (int y = 0; y < height; ++y)
                std::memcpy(scan0 + static_cast<std::ptrdiff_t>(y) * data.Stride,
                            pixels.data() + rowBytes * static_cast<std::size_t>(y), rowBytes);
        }
    }
    bitmap->UnlockBits(&data);
    // A damaged copy falls back to the picture itself.
    if (!whole || hash != header.pixelHash) return nullptr;
    return bitmap;
}

bool writeCachedBackground(const std::filesystem::path& path, const PictureIdentity& picture, int width, int height,
                           const std::vector<std::uint8_t>& pixels, std::string* error) {
    if (path.empty()) return fail(error, "No folder for the background cache.");
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    if (width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide ||
        pixels.size() != rowBytes * static_cast<std::size_t>(height))
        return fail(error, "The background copy has no pixels of its size.");
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return fail(error, "Could not create the background cache folder: " + errorCodeMessage(ec));

    CacheHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kFormatVersion;
    header.width = static_cast<std::uint32_t>(width);
    header.height = static_cast<std::uint32_t>(height);
    header.pixelFormat = PixelFormat32bppRGB;
    header.pictureSize = picture.size;
    header.pictureHash = picture.hash;
    header.pixelHash = hashRows(pixels.data(), rowBytes, rowBytes, height);

    // One temporary name per process: two launchers may write at once.
    std::filesystem::path temporary = path;
    temporary += L"." + std::to_wstring(GetCurrentProcessId()) + L".new";
    WriteFailure failure;
    if (replaceWholeFile(path, temporary, {bytesOf(&header, sizeof header), bytesOf(pixels)}, false, &failure)) {
        return true;
    }
    if (failure.step == WriteFailure::Step::Create) {
        return fail(error, withWindowsError("Could not create the background cache", failure.code));
    }
    return fail(error, withWindowsError("Could not write the background cache", failure.code));
}
