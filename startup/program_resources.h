#pragma once
// Resource ids shared by the resource scripts and the code. Only #define
// lines: windres reads this file too.

// The program icon: the first icon group, which Explorer, the shortcuts
// (icon index 0) and the taskbar show.
#define PROGRAM_ICON_ID 1
