#pragma once
// The game's command line, built from what the game service handed out.

#include <string>

// The ticket as exactly one argument of a Windows command line. It comes
// from the service's answer, so a space, tab or quote in it must not split
// it into more arguments; an ordinary ticket is passed unquoted.
std::wstring ticketArgument(const std::wstring& ticket);
