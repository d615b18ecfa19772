// The process entry. Command-line arguments are ignored.

#include "startup/bootstrap.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // ExitProcess also ends worker threads that are still running.
    ExitProcess(static_cast<UINT>(runStartup(instance, showCommand)));
}
