#pragma once
// How the toolkit shows the launcher's status: one line per change,
// <phase>|<title>|<detail>|<progress>, the same for every command.

#include "ui/launcher_state.h"

#include <string>

namespace toolkit {

std::string statusLine(LauncherPhase phase, const std::string& title, const std::string& detail, float progress);

// From now on every SetStatus prints its line, from whichever thread calls it.
void startPrintingStatus();
void stopPrintingStatus();

// Prints the state's status unless it is the line printed last: workers set
// their published outcome directly, not through SetStatus.
void printCurrentStatus();

}  // namespace toolkit
