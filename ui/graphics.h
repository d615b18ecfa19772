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

struct BackgroundPreparation;

// The illustration decoded once, and its copy resampled to the current
// client size by the painter. At start both come from a preparation thread
// (prepareBackground); after a start that found the scaled copy in the disk
// cache, the picture itself is decoded only when another size needs it.
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
    // The running or finished preparation; UI thread only.
    std::shared_ptr<BackgroundPreparation> preparation;
};

// The process's one holder, used by the window and the painter (UI thread).
BackgroundImage& launcherBackground();

// The built-in picture's bytes (RT_RCDATA 101) inside the executable.
[[nodiscard]] bool builtInPictureBytes(const void*& bytes, std::size_t& size);
// launcherDir/ui/assets/emberwarden_launcher_ledger.png
std::filesystem::path fallbackPicturePath(const std::filesystem::path& launcherDir);

// The built-in picture, else the fallback file, else nothing.
void loadBackground(BackgroundImage& background, const std::filesystem::path& launcherDir);

// Decodes a picture held in memory; the bytes are not needed afterwards.
[[nodiscard]] bool loadImageFromMemory(BackgroundImage& background, const void* bytes, std::size_t size);
[[nodiscard]] bool loadImageFromFile(BackgroundImage& background, const std::filesystem::path& path);

// The picture resampled to width × height (opaque 32-bit RGB, high-quality
// bicubic); null when no bitmap of that size can be made. *status is the
// result of the resampling.
std::unique_ptr<Gdiplus::Bitmap> resampleBackground(Gdiplus::Image& image, int width, int height,
                                                    Gdiplus::Status* status = nullptr);

// Starts loading the picture (loadBackground's order) and its copy for a
// client area of width × height on a thread of its own, so that the window
// is created meanwhile. The copy comes from the disk cache when that holds
// one made from the same picture for the same size (then nothing is
// decoded); otherwise it is resampled and written to the cache.
void prepareBackground(BackgroundImage& background, const std::filesystem::path& launcherDir, int width, int height);

// UI thread: takes up what a finished preparation made. False while it
// still runs (no preparation, or a finished one, gives true).
bool takePreparedBackground(BackgroundImage& background);

// UI thread: the running preparation posts BackgroundPreparedMessage to
// `window` when it finishes, and the window repaints on it.
void repaintWhenBackgroundPrepared(BackgroundImage& background, HWND window);

// UI thread: makes sure `image` holds the picture when there is one: waits
// for a running preparation, and decodes the picture that a cached copy
// made unnecessary until now.
void ensureBackgroundPicture(BackgroundImage& background);

// Waits for a running preparation, then deletes the picture and its scaled
// copy; safe to call when both are empty.
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
