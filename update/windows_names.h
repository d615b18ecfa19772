#pragma once
// How Windows reads file names, for every check that must agree with it:
// device names, letter case and 8.3 short names.

#include <filesystem>
#include <string>
#include <string_view>

// True for a name that Windows maps to a device whatever folder it is in:
// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and the superscript digits 1-3),
// CONIN$, CONOUT$; any letter case, with or without an extension.
bool isReservedDeviceName(std::wstring_view name);

// True for a name in the form of an 8.3 short name, which can be another
// file's alias: Windows' "GAMEDA~1.PAK" (1 to 6 characters, "~", digits, at
// most 8 before the dot) or Wine's "GAME~XOK.PAK" (up to 4 characters, "~"
// up to the fifth, 3 letters or digits 0-5); an optional extension of 1 to 3.
bool isShortNameAlias(std::wstring_view name);

// True when Windows treats both as one name: ordinal, letter case ignored.
bool sameNameIgnoringCase(std::wstring_view a, std::wstring_view b);

// The name in upper case as the ordinal case-insensitive comparison sees it,
// for sorting and hashing; the input unchanged when the mapping fails.
std::wstring upperCaseName(std::wstring_view name);

// The path with every existing 8.3 short element replaced by its long name;
// the path unchanged when it does not exist or cannot be resolved.
std::filesystem::path longPathName(const std::filesystem::path& path);

// A folder's identity as Windows sees it: the full path, 8.3 elements made
// long, no trailing separator, in upper case. For naming per-folder objects.
std::wstring folderIdentity(const std::filesystem::path& folder);
