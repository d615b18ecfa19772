// The process entry. "--uninstall" (with "--quiet") removes the installation
// instead of starting the launcher; every other argument is ignored.

#include "base/diagnostic_log.h"
#include "startup/bootstrap.h"
#include "startup/uninstall.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const LaunchArguments arguments = parseLaunchArguments(GetCommandLineW());
    // ExitProcess also ends worker threads that are still running.
    if (arguments.uninstall) ExitProcess(static_cast<UINT>(runUninstall(arguments.quiet)));
    // Without a writable log folder the launcher runs as before, unlogged.
    (void)startDiagnosticLog(defaultLogFolder(), false);
    logProgramStart("Tinderhallow");
    const int code = runStartup(instance, showCommand);
    logInfo("start", "Exit with code " + std::to_string(code) + ".");
    stopDiagnosticLog();
    ExitProcess(static_cast<UINT>(code));
}
