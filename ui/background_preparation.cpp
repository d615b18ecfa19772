// The background's start-up path: the picture and its scaled copy made on a
// thread of its own while the window is created, from the disk cache when
// it holds a copy for the same picture and size.

#include "base/diagnostic_log.h"
#include "ui/background_cache.h"
#include "ui/graphics.h"
#include "ui/launcher_state.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct BackgroundPreparation {
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;                    // guarded by mutex
    std::unique_ptr<Gdiplus::Image> image;    // guarded by mutex until taken up
    std::unique_ptr<Gdiplus::Bitmap> scaled;  // guarded by mutex until taken up
    std::atomic<HWND> waitingWindow{nullptr};
    // Set before the thread starts, then read only.
    int width = 0;
    int height = 0;
    std::filesystem::path launcherDir;
    // UI thread only.
    std::thread thread;
    bool takenUp = false;
    bool pictureLoaded = false;
};

namespace {

void publish(BackgroundPreparation& preparation, std::unique_ptr<Gdiplus::Image> image,
             std::unique_ptr<Gdiplus::Bitmap> scaled) {
    {
        std::lock_guard<std::mutex> lock(preparation.mutex);
        preparation.image = std::move(image);
        preparation.scaled = std::move(scaled);
        preparation.finished = true;
    }
    preparation.finishedChanged.notify_all();
    // A frame drawn without the picture asked for the one with it; the
    // window's own thread repaints it.
    if (HWND window = preparation.waitingWindow.exchange(nullptr))
        PostMessageW(window, BackgroundPreparedMessage, 0, 0);
}

void prepare(BackgroundPreparation& preparation) noexcept {
    std::filesystem::path cachePath;
    PictureIdentity picture;
    std::vector<std::uint8_t> pixels;
    bool cacheIt = false;
    try {
        BackgroundImage loaded;
        std::unique_ptr<Gdiplus::Bitmap> scaled;
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (builtInPictureBytes(bytes, size)) {
            picture = pictureIdentity(bytes, size);
            cachePath = backgroundCachePath();
            scaled = readCachedBackground(cachePath, picture, preparation.width, preparation.height);
            // The cached copy is all the first frame needs; the picture waits until a size change wants it.
            if (scaled) {
                publish(preparation, nullptr, std::move(scaled));
                return;
            }
            cacheIt = loadImageFromMemory(loaded, bytes, size);
        }
        if (!loaded.image) (void)loadImageFromFile(loaded, fallbackPicturePath(preparation.launcherDir));
        if (loaded.image && loaded.image->GetLastStatus() == Gdiplus::Ok) {
            Gdiplus::Status status = Gdiplus::Ok;
            scaled = resampleBackground(*loaded.image, preparation.width, preparation.height, &status);
            cacheIt = cacheIt && scaled && status == Gdiplus::Ok && bitmapPixels(*scaled, pixels);
        } else {
            cacheIt = false;
        }
        publish(preparation, std::move(loaded.image), std::move(scaled));
    } catch (...) {
        logWarning("window", "Preparing the background picture failed; the window goes without it.");
        cacheIt = false;
        bool published = false;
        {
            std::lock_guard<std::mutex> lock(preparation.mutex);
            published = preparation.finished;
        }
        if (!published) {
            try {
                publish(preparation, nullptr, nullptr);
            } catch (...) {
                logError("window", "The background's failure could not be handed to the window.");
            }
        }
    }
    // After the window has what it needs; a cache that cannot be written only costs the next start.
    if (cacheIt) {
        try {
            (void)writeCachedBackground(cachePath, picture, preparation.width, preparation.height, pixels);
        } catch (...) {
            logWarning("window", "The scaled background could not be cached; the next start scales it again.");
        }
    }
}

void takeUp(BackgroundImage& background, BackgroundPreparation& preparation) {
    if (preparation.image) background.image = std::move(preparation.image);
    if (preparation.scaled) {
        background.scaled = std::move(preparation.scaled);
        background.scaledWidth = preparation.width;
        background.scaledHeight = preparation.height;
    }
    ++background.generation;
    preparation.takenUp = true;
}

}  // namespace

void prepareBackground(BackgroundImage& background, const std::filesystem::path& launcherDir, int width, int height) {
    releaseBackground(background);
    auto preparation = std::make_shared<BackgroundPreparation>();
    preparation->width = std::max(width, 1);
    preparation->height = std::max(height, 1);
    preparation->launcherDir = launcherDir;
    try {
        preparation->thread = std::thread([preparation] { prepare(*preparation); });
    } catch (...) {
        logWarning("window", "No thread for the background picture; it is loaded on the window's thread.");
        // No thread: the picture as before, on this one.
        loadBackground(background, launcherDir);
        return;
    }
    background.preparation = std::move(preparation);
}

bool takePreparedBackground(BackgroundImage& background) {
    BackgroundPreparation* preparation = background.preparation.get();
    if (preparation == nullptr || preparation->takenUp) return true;
    std::lock_guard<std::mutex> lock(preparation->mutex);
    if (!preparation->finished) return false;
    takeUp(background, *preparation);
    return true;
}

void repaintWhenBackgroundPrepared(BackgroundImage& background, HWND window) {
    BackgroundPreparation* preparation = background.preparation.get();
    if (preparation != nullptr && !preparation->takenUp) preparation->waitingWindow.store(window);
}

void ensureBackgroundPicture(BackgroundImage& background) {
    BackgroundPreparation* preparation = background.preparation.get();
    if (preparation == nullptr) return;
    if (!preparation->takenUp) {
        std::unique_lock<std::mutex> lock(preparation->mutex);
        preparation->finishedChanged.wait(lock, [preparation] { return preparation->finished; });
        takeUp(background, *preparation);
    }
    if (!background.image && !preparation->pictureLoaded) {
        preparation->pictureLoaded = true;
        loadBackground(background, preparation->launcherDir);
    }
}

// Callers release the picture before GDI+ goes down (releaseBackground), so
// the process-wide holder is already empty when it is destroyed; a holder
// dropped without that still waits for its thread.
BackgroundImage::~BackgroundImage() {
    if (preparation && preparation->thread.joinable()) preparation->thread.join();
}

void releaseBackground(BackgroundImage& background) {
    if (background.preparation) {
        if (background.preparation->thread.joinable()) background.preparation->thread.join();
        background.preparation.reset();
    }
    background.image.reset();
    background.scaled.reset();
    background.scaledWidth = 0;
    background.scaledHeight = 0;
    ++background.generation;
}
