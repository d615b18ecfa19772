#include "ui/graphics.h"

#include <shlwapi.h>

#include <cmath>
#include <map>
#include <mutex>
#include <utility>

namespace {

constexpr int kBackgroundResourceId = 101;

void replaceImage(BackgroundImage& background, Gdiplus::Image* decoded) {
    background.image.reset(decoded);
}

// A decoded image keeps reading its stream or file for as long as it lives;
// its clone does not, so the clone is what stays and the decoded one goes.
bool keepClone(BackgroundImage& background, Gdiplus::Image* decoded) {
    if (decoded == nullptr) return false;  // GDI+'s allocator returns null rather than throwing
    bool kept = false;
    if (decoded->GetLastStatus() == Gdiplus::Ok) {
        Gdiplus::Image* clone = decoded->Clone();
        if (clone != nullptr) {
            replaceImage(background, clone);
            kept = background.image->GetLastStatus() == Gdiplus::Ok;
        }
    }
    delete decoded;
    return kept;
}

}  // namespace

ULONG_PTR startGraphics() {
    Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread kept
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 0;
    return token;
}

void stopGraphics(ULONG_PTR token) {
    if (token != 0) Gdiplus::GdiplusShutdown(token);
}

// Callers release the picture before GDI+ goes down (releaseBackground), so
// the process-wide holder is already empty when it is destroyed.
BackgroundImage::~BackgroundImage() = default;

BackgroundImage& launcherBackground() {
    static BackgroundImage background;
    return background;
}

void loadBackground(BackgroundImage& background, const std::filesystem::path& launcherDir) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kBackgroundResourceId), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (resource != nullptr) {
        HGLOBAL loaded = LoadResource(module, resource);
        const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        const DWORD size = SizeofResource(module, resource);
        if (bytes != nullptr && size != 0 && loadImageFromMemory(background, bytes, size)) return;
    }
    const std::filesystem::path fallback = launcherDir / L"ui" / L"assets" / L"emberwarden_launcher_ledger.png";
    (void)loadImageFromFile(background, fallback);
}


bool loadImageFromMemory(BackgroundImage& background, const void* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0 || size > 0xFFFFFFFFu) return false;
    IStream* stream = SHCreateMemStream(static_cast<const BYTE*>(bytes), static_cast<UINT>(size));
    if (stream == nullptr) return false;
    const bool kept = keepClone(background, new Gdiplus::Image(stream));
    stream->Release();
    return kept;
}

bool loadImageFromFile(BackgroundImage& background, const std::filesystem::path& path) {
    return keepClone(background, new Gdiplus::Image(path.c_str()));
}

void releaseBackground(BackgroundImage& background) {
    background.image.reset();
    background.scaled.reset();
    background.scaledWidth = 0;
    background.scaledHeight = 0;
}

namespace {

using FontKey = std::pair<int, INT>;

std::once_flag fontFamilyOnce;
const Gdiplus::FontFamily* fontFamily = nullptr;
std::once_flag fontMapOnce;
std::map<FontKey, Gdiplus::Font*>* fontMap = nullptr;

// "Georgia" where it exists. Wine and Proton often lack it, and GDI+ then
// draws no text at all, so a serif family that exists stands in.
// Never deleted: the fonts made from it live until process exit.
const Gdiplus::FontFamily* createFontFamily() {
    auto* georgia = new Gdiplus::FontFamily(L"Georgia");
    if (georgia->GetLastStatus() == Gdiplus::Ok && georgia->IsAvailable()) return georgia;
    if (const Gdiplus::FontFamily* serif = Gdiplus::FontFamily::GenericSerif()) return serif;
    return georgia;
}

}  // namespace

Gdiplus::Font* getFont(float size, INT style) {
    std::call_once(fontFamilyOnce, [] { fontFamily = createFontFamily(); });
    std::call_once(fontMapOnce, [] { fontMap = new std::map<FontKey, Gdiplus::Font*>(); });
    const FontKey key{static_cast<int>(std::trunc(size * 4.0f)), style};
    auto found = fontMap->find(key);
    if (found != fontMap->end()) return found->second;
    // A font whose creation failed is kept anyway; drawing with it fails quietly.
    auto* font = new Gdiplus::Font(fontFamily, size, style, Gdiplus::UnitPixel);
    fontMap->emplace(key, font);
    return font;
}
