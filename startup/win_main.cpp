// The process entry. "--uninstall" (with "--quiet") removes the installation
// instead of starting the launcher; every other argument is ignored.

#include "startup/bootstrap.h"
#include "startup/uninstall.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const LaunchArguments arguments = parseLaunchArguments(GetCommandLineW());
    // ExitProcess also ends worker threads that are still running.
    if (arguments.uninstall) ExitProcess(static_cast<UINT>(runUninstall(arguments.quiet)));
    ExitProcess(static_cast<UINT>(runStartup(instance, showCommand)));
}
