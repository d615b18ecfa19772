// Benchmark helper: one release check of a launcher folder, as a start runs
// it (quick: trusts the folder's record for unchanged files) or as REPAIR
// does (full: reads every file), timed inside the process so Wine's start-up
// stays out of the figure.
// Usage: release_check_timing quick|full LAUNCHER_DIR
// Prints: <seconds> <phase>|<title>|<detail>

#include "base/utf8_paths.h"
#include "delivery/release_check.h"
#include "ui/launcher_state.h"

#include <chrono>
#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    const std::wstring kind = argc == 3 ? argv[1] : L"";
    if (kind != L"quick" && kind != L"full") {
        std::fprintf(stderr, "usage: release_check_timing quick|full LAUNCHER_DIR\n");
        return 2;
    }
    setLauncherDir(argv[2]);

    const auto start = std::chrono::steady_clock::now();
    runReleaseCheck(kind == L"full" ? ReleaseCheckKind::Full : ReleaseCheckKind::Quick);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    const LauncherView view = snapshot();
    std::printf("%.6f %d|%s|%s\n", seconds.count(), static_cast<int>(view.phase), view.title.c_str(),
                view.detail.c_str());
    return view.phase == LauncherPhase::Error ? 1 : 0;
}
