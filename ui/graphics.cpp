#include "ui/graphics.h"

#include <shlwapi.h>

#include <cmath>
#include <cwchar>
#include <map>
#include <mutex>
#include <utility>

namespace {

constexpr int kBackgroundResourceId = 101;

void replaceImage(BackgroundImage& background, Gdiplus::Image* decoded) {
    background.image.reset(decoded);
    ++background.generation;
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

BackgroundImage& launcherBackground() {
    static BackgroundImage background;
    return background;
}

bool builtInPictureBytes(const void*& bytes, std::size_t& size) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource =
        FindResourceW(module, MAKEINTRESOURCEW(kBackgroundResourceId), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (resource == nullptr) return false;
    HGLOBAL loaded = LoadResource(module, resource);
    bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    size = SizeofResource(module, resource);
    return bytes != nullptr && size != 0;
}

std::filesystem::path fallbackPicturePath(const std::filesystem::path& launcherDir) {
    return launcherDir / L"ui" / L"assets" / L"emberwarden_launcher_ledger.png";
}

void loadBackground(BackgroundImage& background, const std::filesystem::path& launcherDir) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (builtInPictureBytes(bytes, size) && loadImageFromMemory(background, bytes, size)) return;
    (void)loadImageFromFile(background, fallbackPicturePath(launcherDir));
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

std::unique_ptr<Gdiplus::Bitmap> resampleBackground(Gdiplus::Image& image, int width, int height,
                                                    Gdiplus::Status* status) {
    // The illustration is opaque, so plain 32-bit RGB holds the same pixels;
    // Wine copies such a bitmap straight to the buffer but alpha-blends a
    // premultiplied one through a temporary copy, about 200 times slower.
    auto scaled = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppRGB);
    const Gdiplus::Status created = scaled->GetLastStatus();
    if (created != Gdiplus::Ok) {
        if (status != nullptr) *status = created;
        return nullptr;
    }
    Gdiplus::Status drawn = Gdiplus::Ok;
    {
        Gdiplus::Graphics resample(scaled.get());
        resample.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        resample.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
        drawn = resample.DrawImage(&image, 0, 0, width, height);
    }
    if (status != nullptr) *status = drawn;
    return scaled;
}

namespace {

using FontKey = std::pair<int, INT>;

std::once_flag fontFamilyOnce;
const Gdiplus::FontFamily* fontFamily = nullptr;
std::once_flag fontMapOnce;
std::map<FontKey, Gdiplus::Font*>* fontMap = nullptr;

// Serif families that stand in for "Georgia" on Windows and in Wine and
// Proton prefixes, most likely first.
constexpr const wchar_t* kSerifFamilies[] = {L"DejaVu Serif", L"Liberation Serif", L"Noto Serif", L"Times New Roman",
                                             L"FreeSerif"};

// GDI matches family names without regard to letter case.
bool sameFamilyName(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

std::wstring familyNameOf(const Gdiplus::FontFamily* family) {
    WCHAR name[LF_FACESIZE] = L"";
    if (family == nullptr || family->GetFamilyName(name) != Gdiplus::Ok) return {};
    return name;
}

std::vector<std::wstring> installedFamilyNames() {
    Gdiplus::InstalledFontCollection collection;
    const INT count = collection.GetFamilyCount();
    if (count <= 0) return {};
    std::unique_ptr<Gdiplus::FontFamily[]> families(new Gdiplus::FontFamily[count]);
    INT found = 0;
    if (collection.GetFamilies(count, families.get(), &found) != Gdiplus::Ok) return {};
    std::vector<std::wstring> names;
    for (INT i = 0; i < found; ++i) {
        std::wstring name = familyNameOf(&families[i]);
        if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
}

// Empty when GDI+ has no such family: Wine on a machine with only the DejaVu
// fonts has neither generic family.
std::wstring genericFamilyName(const Gdiplus::FontFamily* family) {
    if (family == nullptr || !family->IsAvailable()) return {};
    return familyNameOf(family);
}

// Never deleted: the fonts made from it live until process exit.
const Gdiplus::FontFamily* createFontFamily() { return new Gdiplus::FontFamily(launcherFontFamilyName().c_str()); }

}  // namespace

std::wstring chooseFontFamilyName(const std::vector<std::wstring>& installed, const std::wstring& genericSerif,
                                  const std::wstring& genericSansSerif) {
    auto findInstalled = [&](const wchar_t* wanted) -> const std::wstring* {
        for (const std::wstring& name : installed)
            if (sameFamilyName(name, wanted)) return &name;
        return nullptr;
    };
    if (const std::wstring* georgia = findInstalled(L"Georgia")) return *georgia;
    for (const wchar_t* serif : kSerifFamilies)
        if (const std::wstring* found = findInstalled(serif)) return *found;
    if (!genericSerif.empty()) return genericSerif;
    if (!genericSansSerif.empty()) return genericSansSerif;
    if (!installed.empty()) return installed.front();
    return L"Georgia";
}

const std::wstring& launcherFontFamilyName() {
    static const std::wstring name =
        chooseFontFamilyName(installedFamilyNames(), genericFamilyName(Gdiplus::FontFamily::GenericSerif()),
                             genericFamilyName(Gdiplus::FontFamily::GenericSansSerif()));
    return name;
}

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
