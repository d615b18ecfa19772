#include "ui/background_cache.h"

#include "tests/support/test_paths.h"
#include "ui/graphics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void ensureGraphics() {
    static const ULONG_PTR token = startGraphics();
    ASSERT_NE(token, 0u);
}

constexpr int kWidth = 37;  // odd: rows end inside an 8-byte word
constexpr int kHeight = 23;

// A copy with every pixel different, as a resampled picture has.
std::unique_ptr<Gdiplus::Bitmap> patternBitmap() {
    auto bitmap = std::make_unique<Gdiplus::Bitmap>(kWidth, kHeight, PixelFormat32bppRGB);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            bitmap->SetPixel(
                x, y,
                Gdiplus::Color(255, static_cast<BYTE>(x * 7), static_cast<BYTE>(y * 11), static_cast<BYTE>(x * y)));
    return bitmap;
}

const std::string kPicture = "the bytes of a picture";
PictureIdentity picture() { return pictureIdentity(kPicture.data(), kPicture.size()); }

std::vector<std::uint8_t> pixelsOf(Gdiplus::Bitmap& bitmap) {
    std::vector<std::uint8_t> pixels;
    EXPECT_TRUE(bitmapPixels(bitmap, pixels));
    return pixels;
}

TEST(BackgroundCache, GivesBackExactlyThePixelsOfTheCopyItKept) {
    ensureGraphics();
    ScratchDir scratch;
    const auto path = scratch / "cache" / "launcher_background.cache";
    auto original = patternBitmap();
    const std::vector<std::uint8_t> pixels = pixelsOf(*original);
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(kWidth) * kHeight * 4);
    std::string error;
    ASSERT_TRUE(writeCachedBackground(path, picture(), kWidth, kHeight, pixels, &error)) << error;

    auto cached = readCachedBackground(path, picture(), kWidth, kHeight);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached->GetWidth(), static_cast<UINT>(kWidth));
    EXPECT_EQ(cached->GetHeight(), static_cast<UINT>(kHeight));
    EXPECT_EQ(pixelsOf(*cached), pixels);
    Gdiplus::Color colour;
    cached->GetPixel(5, 3, &colour);
    EXPECT_EQ(colour.GetValue() & 0xFFFFFF, (35u << 16) | (33u << 8) | 15u);
}

TEST(BackgroundCache, RefusesACopyOfAnotherPictureOrSizeAndADamagedOne) {
    ensureGraphics();
    ScratchDir scratch;
    const auto path = scratch / "launcher_background.cache";
    auto original = patternBitmap();
    const std::vector<std::uint8_t> pixels = pixelsOf(*original);
    EXPECT_EQ(readCachedBackground(path, picture(), kWidth, kHeight), nullptr);  // none yet
    ASSERT_TRUE(writeCachedBackground(path, picture(), kWidth, kHeight, pixels));
    const std::string whole = readTextFile(path);
    ASSERT_NE(readCachedBackground(path, picture(), kWidth, kHeight), nullptr);

    const std::string otherPicture = "the bytes of a picture!";
    EXPECT_EQ(readCachedBackground(path, pictureIdentity(otherPicture.data(), otherPicture.size()), kWidth, kHeight),
              nullptr);
    EXPECT_EQ(readCachedBackground(path, picture(), kWidth + 1, kHeight), nullptr);
    EXPECT_EQ(readCachedBackground(path, picture(), kWidth, kHeight - 1), nullptr);

    struct Damage {
        const char* what;
        std::string bytes;
    };
    std::string flippedPixel = whole;
    flippedPixel[whole.size() - 200] ^= 0x10;
    std::string flippedMagic = whole;
    flippedMagic[0] ^= 0x01;
    std::string longer = whole + '\0';
    const Damage damages[] = {
        {"truncated", whole.substr(0, whole.size() - 1)},
        {"one pixel changed", flippedPixel},
        {"another format", flippedMagic},
        {"a byte too many", longer},
        {"only the header", whole.substr(0, 48)},
        {"empty", ""},
    };
    for (const Damage& damage : damages) {
        writeTextFile(path, damage.bytes);
        EXPECT_EQ(readCachedBackground(path, picture(), kWidth, kHeight), nullptr) << damage.what;
    }
}

TEST(BackgroundCache, LeavesNoTemporaryFileWhenItCannotReplaceTheCache) {
    ensureGraphics();
    ScratchDir scratch;
    const auto path = scratch / "launcher_background.cache";
    std::filesystem::create_directories(path / "in the way");  // a folder cannot be replaced by a file
    auto original = patternBitmap();
    std::string error;
    EXPECT_FALSE(writeCachedBackground(path, picture(), kWidth, kHeight, pixelsOf(*original), &error));
    EXPECT_NE(error.find("Could not write the background cache (Windows error "), std::string::npos) << error;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"launcher_background.cache"});
}

}  // namespace
