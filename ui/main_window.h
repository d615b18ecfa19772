#pragma once
// The launcher's one window: two native edit controls, everything else drawn
// by the painter; the timer that follows LauncherState, the only way workers
// reach the window; clicks turned into commands; the workers started from here.

#include "ui/layout.h"

#include <windows.h>

#include <string>

// Registers the class, opens the window with `showCommand`, runs the message
// loop, then releases the background and shuts GDI+ (graphicsToken) down.
// Returns the WM_QUIT code, or 1 when the window could not be created.
int runLauncherWindow(HINSTANCE instance, int showCommand, ULONG_PTR graphicsToken);

// The hit code under a mouse message's position (client pixels, scaled back
// to the design canvas), for the login state the caller read.
HitCode hitTest(HWND window, LPARAM position, bool loginFormShown, bool loggedIn);

// Places both edits inside their drawn boxes and gives them a font of the
// current scale; nothing before both exist.
void layoutEditControls(HWND window);

// The login form's action: starts the login worker, or asks for both fields.
void submitLogin();

// Opens a page of the publisher's website in the default browser.
void openWebsitePage(HWND window, const std::string& path);
