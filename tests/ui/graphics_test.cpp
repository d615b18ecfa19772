#include "ui/graphics.h"

#include "tests/support/test_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// GDI+ stays up for the whole test process: the font cache outlives any
// one test, as it outlives the window in the launcher.
void ensureGraphics() {
    static const ULONG_PTR token = startGraphics();
    ASSERT_NE(token, 0u);
}

std::filesystem::path assetPath() { return sourceDir() / "ui" / "assets" / "emberwarden_launcher_ledger.png"; }

// The colour of one pixel of the kept picture.
Gdiplus::Color pixelOf(Gdiplus::Image* image, int x, int y) {
    Gdiplus::Bitmap probe(1, 1, PixelFormat32bppARGB);
    {
        Gdiplus::Graphics g(&probe);
        g.DrawImage(image, Gdiplus::Rect(0, 0, 1, 1), x, y, 1, 1, Gdiplus::UnitPixel);
    }
    Gdiplus::Color color;
    probe.GetPixel(0, 0, &color);
    return color;
}

TEST(FontCache, SharesOneFontBetweenSizesWithTheSameQuarterPixel) {
    ensureGraphics();
    Gdiplus::Font* first = getFont(12.5f, Gdiplus::FontStyleRegular);
    EXPECT_EQ(getFont(12.6f, Gdiplus::FontStyleRegular), first);
    EXPECT_EQ(getFont(12.5f, Gdiplus::FontStyleRegular), first);
    EXPECT_NE(getFont(12.75f, Gdiplus::FontStyleRegular), first);
    EXPECT_NE(getFont(12.5f, Gdiplus::FontStyleBold), first);
}

TEST(FontCache, MakesUsableSerifFontsInPixels) {
    ensureGraphics();
    Gdiplus::Font* font = getFont(17.0f, Gdiplus::FontStyleBold);
    ASSERT_NE(font, nullptr);
    EXPECT_TRUE(font->IsAvailable());
    EXPECT_EQ(font->GetUnit(), Gdiplus::UnitPixel);
    EXPECT_FLOAT_EQ(font->GetSize(), 17.0f);
    EXPECT_EQ(font->GetStyle(), Gdiplus::FontStyleBold);
}

TEST(FontFamilyChoice, TakesGeorgiaThenACommonSerifThenTheGenericFamiliesThenAnyInstalledOne) {
    struct Case {
        std::vector<std::wstring> installed;
        std::wstring genericSerif;
        std::wstring genericSansSerif;
        std::wstring chosen;
    };
    const Case cases[] = {
        {{L"Arial", L"Georgia", L"Times New Roman"}, L"Times New Roman", L"Microsoft Sans Serif", L"Georgia"},
        {{L"DejaVu Sans", L"GEORGIA"}, L"", L"", L"GEORGIA"},
        // A fresh Debian machine under Wine: no generic family at all.
        {{L"DejaVu Sans", L"DejaVu Sans Mono", L"DejaVu Serif", L"DejaVu Serif Condensed"}, L"", L"", L"DejaVu Serif"},
        {{L"FreeSerif", L"Tahoma", L"Liberation Serif"}, L"Liberation Serif", L"Tahoma", L"Liberation Serif"},
        {{L"Tahoma", L"Times New Roman"}, L"Times New Roman", L"Tahoma", L"Times New Roman"},
        {{L"Tahoma", L"Bodoni MT", L"Arial"}, L"Bodoni MT", L"Arial", L"Bodoni MT"},
        {{L"Tahoma", L"Arial"}, L"", L"Arial", L"Arial"},
        {{L"DejaVu Sans", L"DejaVu Sans Mono"}, L"", L"", L"DejaVu Sans"},
        {{}, L"", L"", L"Georgia"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chooseFontFamilyName(c.installed, c.genericSerif, c.genericSansSerif), c.chosen)
            << "first installed: " << (c.installed.empty() ? std::wstring() : c.installed.front());
    }
}

TEST(BackgroundImage, LoadsTheIllustrationFromItsFile) {
    ensureGraphics();
    BackgroundImage background;
    ASSERT_TRUE(loadImageFromFile(background, assetPath()));
    ASSERT_TRUE(background.image);
    EXPECT_EQ(background.image->GetWidth(), 1672u);
    EXPECT_EQ(background.image->GetHeight(), 941u);
    releaseBackground(background);
    EXPECT_FALSE(background.image);
}

TEST(BackgroundImage, KeepsAMemoryPictureAfterItsBytesAreGone) {
    ensureGraphics();
    BackgroundImage fromFile;
    ASSERT_TRUE(loadImageFromFile(fromFile, assetPath()));
    BackgroundImage fromMemory;
    {
        std::string bytes = readTextFile(assetPath());
        ASSERT_GT(bytes.size(), 1000u);
        ASSERT_TRUE(loadImageFromMemory(fromMemory, bytes.data(), bytes.size()));
        bytes.assign(bytes.size(), '\0');
    }
    ASSERT_TRUE(fromMemory.image);
    EXPECT_EQ(fromMemory.image->GetWidth(), 1672u);
    for (const auto& [x, y] : {std::pair{20, 20}, std::pair{836, 470}, std::pair{1600, 900}}) {
        EXPECT_EQ(pixelOf(fromMemory.image.get(), x, y).GetValue(), pixelOf(fromFile.image.get(), x, y).GetValue())
            << x << "," << y;
    }
    releaseBackground(fromMemory);
    releaseBackground(fromFile);
}

TEST(BackgroundImage, RefusesBytesThatAreNoPictureAndKeepsWhatItHad) {
    ensureGraphics();
    BackgroundImage background;
    const std::string junk = "\x89PNG\r\n\x1a\nnot really a picture at all";
    EXPECT_FALSE(loadImageFromMemory(background, junk.data(), junk.size()));
    EXPECT_FALSE(background.image);
    ASSERT_TRUE(loadImageFromFile(background, assetPath()));
    EXPECT_FALSE(loadImageFromMemory(background, junk.data(), junk.size()));
    ASSERT_TRUE(background.image);
    EXPECT_EQ(background.image->GetWidth(), 1672u);
    releaseBackground(background);
}

TEST(BackgroundImage, RefusesAMissingFile) {
    ensureGraphics();
    ScratchDir scratch;
    BackgroundImage background;
    EXPECT_FALSE(loadImageFromFile(background, scratch / "none.png"));
    EXPECT_FALSE(background.image);
}

TEST(LoadBackground, FallsBackToTheFileBelowTheLauncherFolder) {
    // A test program carries no resource 101, so the file is what loads.
    ensureGraphics();
    ASSERT_EQ(FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(10)), nullptr);
    BackgroundImage background;
    loadBackground(background, sourceDir());
    ASSERT_TRUE(background.image);
    EXPECT_EQ(background.image->GetWidth(), 1672u);
    releaseBackground(background);
}

TEST(LoadBackground, LeavesNoPictureWhenThereIsNone) {
    ensureGraphics();
    ScratchDir scratch;
    writeTextFile(scratch / "ui" / "assets" / "emberwarden_launcher_ledger.png", "corrupt");
    BackgroundImage background;
    loadBackground(background, scratch.path());
    EXPECT_FALSE(background.image);
    loadBackground(background, scratch / "elsewhere");
    EXPECT_FALSE(background.image);
}

TEST(ReleaseBackground, EmptiesThePictureAndItsScaledCopy) {
    ensureGraphics();
    BackgroundImage background;
    ASSERT_TRUE(loadImageFromFile(background, assetPath()));
    background.scaled = std::make_unique<Gdiplus::Bitmap>(8, 8, PixelFormat32bppPARGB);
    background.scaledWidth = 8;
    background.scaledHeight = 8;
    releaseBackground(background);
    EXPECT_FALSE(background.image);
    EXPECT_FALSE(background.scaled);
    EXPECT_EQ(background.scaledWidth, 0);
    releaseBackground(background);  // twice is harmless
}

}  // namespace
