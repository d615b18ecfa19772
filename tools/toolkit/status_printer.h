#pragma once
// How the toolkit shows the launcher's status: one line per change,
// <phase>|<title>|<detail>|<progress>, the same for every command.

#include "ui/launcher_state.h"

#include <string>

namespace toolkit {

std::string statusLine(LauncherPhase phase, const std::string& title, const std::string& detail, float progress);

// From now on every status report prints its line, from whichever thread
// reports it.
void startPrintingStatus();
void stopPrintingStatus();

}  // namespace toolkit
