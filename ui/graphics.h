#pragma once
// Graphics resources that outlive a frame: the GDI+ session, the background
// illustration with its scaled copy, and the font cache.

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Starts GDI+ (version 1, default options); the token goes to stopGraphics.
ULONG_PTR startGraphics();
// Shuts GDI+ down. Every GDI+ object but the cached fonts must be gone by then.
void stopGraphics(ULONG_PTR token);

// The illustration decoded once at start, and its copy resampled to the
// current client size by the painter.
class BackgroundImage {
public:
    BackgroundImage() = default;
    ~BackgroundImage();
    BackgroundImage(const BackgroundImage&) = delete;
    BackgroundImage& operator=(const BackgroundImage&) = delete;

    std::unique_ptr<Gdiplus::Image> image;
    std::unique_ptr<Gdiplus::Bitmap> scaled;
    std::int32_t scaledWidth = 0;
    std::int32_t scaledHeight = 0;
    // Counts every change of image or scaled: the painter's cached layer
    // is rebuilt when it moves.
    std::uint64_t generation = 0;
};

// The process's one holder, used by the window and the painter (UI thread).
BackgroundImage& launcherBackground();

// The built-in picture (RT_RCDATA 101), else the file
// launcherDir/ui/assets/emberwarden_launcher_ledger.png, else nothing.
void loadBackground(BackgroundImage& background, const std::filesystem::path& launcherDir);

// Decodes a picture held in memory; the bytes are not needed afterwards.
[[nodiscard]] bool loadImageFromMemory(BackgroundImage& background, const void* bytes, std::size_t size);
[[nodiscard]] bool loadImageFromFile(BackgroundImage& background, const std::filesystem::path& path);

// Deletes the picture and its scaled copy; safe to call when both are empty.
void releaseBackground(BackgroundImage& background);

// The family every launcher text uses, from the installed family names (in
// the order the font collection lists them) and the names of GDI+'s generic
// serif and sans-serif families (empty when not available): "Georgia", else
// a serif family common on Windows and Linux prefixes, else the generic
// serif, else the generic sans-serif, else the first installed family.
// With nothing at all, "Georgia", which then draws nothing.
std::wstring chooseFontFamilyName(const std::vector<std::wstring>& installed, const std::wstring& genericSerif,
                                  const std::wstring& genericSansSerif);

// That choice for this machine, made once (GDI+ must be started); the edit
// controls' GDI font uses the same name.
const std::wstring& launcherFontFamilyName();

// A font of the launcher's family in pixel units, shared by all sizes
// with the same quarter-pixel key and style, kept until process exit.
// UI thread only after the first call.
Gdiplus::Font* getFont(float size, INT style);
