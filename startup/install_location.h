#pragma once
// Where the launcher installs itself, whether it already runs from there, the
// settings files a fresh install starts with, and the desktop shortcut.

#include <guiddef.h>

#include <filesystem>
#include <string>

// Full path of the running executable.
std::filesystem::path moduleFilePath();

// Folder of the running executable: the launcher folder.
std::filesystem::path moduleDirectory();

// A known folder of the shell (FOLDERID_...), or empty when it has none.
std::filesystem::path knownFolderPath(REFGUID id);

// TINDERHALLOW_INSTALL_DIR exactly as set; else <SystemDrive>\Games\Tinderhallow
// when writable; else the local application data folder + "Tinderhallow".
std::filesystem::path resolveInstallDir();

// Creates the folder when needed and proves a file can be created in it.
bool isWritableDir(const std::filesystem::path& dir);

// The same folder (or file): by volume serial and file id when both exist,
// whatever names them; otherwise once both are made weakly canonical, ASCII
// letter case ignored.
bool sameDirectory(const std::filesystem::path& a, const std::filesystem::path& b);

// Writes `text` and one line break (text mode) only when nothing exists at
// `path`. Best effort: a failure leaves no file behind and is not reported.
void writeFileIfMissing(const std::filesystem::path& path, const std::string& text);

// "Tinderhallow.lnk" on the desktop, pointing at `target`. Best effort;
// nothing happens while TINDERHALLOW_NO_SHORTCUT is defined.
void createDesktopShortcut(const std::filesystem::path& target, const std::filesystem::path& workingDir);

// "Tinderhallow.lnk" in the Start menu's Programs folder, beside the desktop
// one; the same link, the same rules.
void createStartMenuShortcut(const std::filesystem::path& target, const std::filesystem::path& workingDir);

// Where the two shortcuts go; empty when the shell does not know the folder.
std::filesystem::path desktopShortcutPath();
std::filesystem::path startMenuShortcutPath();

// The program a shell link starts, or empty when the link cannot be read.
std::filesystem::path shellLinkTarget(const std::filesystem::path& linkPath);

// The shell link itself, written to `linkPath` (overwriting one there).
[[nodiscard]] bool writeShellLink(const std::filesystem::path& linkPath, const std::filesystem::path& target,
                                  const std::filesystem::path& workingDir);
