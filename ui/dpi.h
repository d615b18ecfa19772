#pragma once
// The window in physical pixels on per-monitor-aware systems. The newer DPI
// calls are taken through GetProcAddress: older Windows and Wine lack some
// of them, and there the system DPI stands in.

#include <windows.h>

// The DPI of a monitor (GetDpiForMonitor), else the system DPI.
UINT monitorDpi(HMONITOR monitor);

// The DPI of a window (GetDpiForWindow), else that of its monitor.
UINT windowDpi(HWND window);

// Outer size of the launcher window with `style` for `monitor`: the client
// area fitted to the monitor's work area at the monitor's scale, plus the
// frame at that scale.
SIZE launcherWindowSize(HMONITOR monitor, DWORD style);
// That window's client size.
SIZE launcherClientSize(HMONITOR monitor, DWORD style);

// Gives a newly created, still hidden window the size for the monitor it
// opened on (its size was computed for the primary monitor).
void fitWindowToItsMonitor(HWND window, DWORD style);

// WM_DPICHANGED: takes the rectangle Windows suggests for the new DPI and
// repaints; the WM_SIZE that follows lays the edits and their font out again.
void applyDpiChange(HWND window, const RECT& suggested);

// The program icon at the size of two system metrics (SM_CXICON and
// SM_CYICON, or the small ones), or the standard application icon when the
// program carries none. Shared: never destroyed.
HICON loadProgramIcon(HINSTANCE instance, int widthMetric, int heightMetric);
